// Conversion between narrow and wide text. Narrow text is the ANSI code page on Windows
// (CP_ACP) and UTF-8 elsewhere. Both stop at the first NUL; empty in, empty out.
#pragma once

#include <string>

namespace velka {

std::wstring ToWide(const std::string& narrow);
std::string ToNarrow(const std::wstring& wide);

// UTF-8 <-> wide, the same on every platform.
std::wstring Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::wstring& wide);

}  // namespace velka
