// Conversion between narrow and wide text. Narrow text is the ANSI code page on Windows
// (CP_ACP) and UTF-8 elsewhere; wide text is UTF-16 on Windows and UTF-32 elsewhere. Every
// conversion stops at the first NUL; empty in, empty out. Nothing here fails: on Windows a
// character the code page lacks becomes the code page's default character, elsewhere malformed
// UTF-8 (and a wide value that is no Unicode character) becomes U+FFFD. Reentrant.
#pragma once

#include <string>

namespace velka {

std::wstring ToWide(const std::string& narrow);
std::string ToNarrow(const std::wstring& wide);

// UTF-8 <-> wide, the same on every platform.
std::wstring Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::wstring& wide);

}  // namespace velka
