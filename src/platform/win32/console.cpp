#include "platform/console.h"

#include <windows.h>

#include <cstdio>

#include "platform/text.h"

namespace velka {

namespace {

HANDLE HandleOf(ConsoleStream stream) {
    return GetStdHandle(stream == ConsoleStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsoleHandle(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

}  // namespace

bool IsTerminal(ConsoleStream stream) { return IsConsoleHandle(HandleOf(stream)); }

void ConsoleWrite(ConsoleStream stream, const std::wstring& text) {
    std::FILE* file = stream == ConsoleStream::Out ? stdout : stderr;
    std::fflush(file);
    HANDLE handle = HandleOf(stream);
    if (IsConsoleHandle(handle)) {
        DWORD written = 0;
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // Redirected: UTF-8 bytes, whatever the ANSI code page, so logs of runs stay readable.
    const std::string bytes = WideToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
}

}  // namespace velka
