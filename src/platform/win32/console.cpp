#include "platform/console.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

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

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// The progress line ends in "erase to end of line"; consoles that know escape sequences
// (Windows 10 and later) must be told to interpret them rather than print them. Older consoles
// refuse the mode and stay as they were.
void EnableEscapes(ConsoleStream stream, HANDLE handle) {
    static std::once_flag once[2];
    std::call_once(once[stream == ConsoleStream::Out ? 0 : 1], [handle] {
        DWORD mode = 0;
        if (GetConsoleMode(handle, &mode)) {
            SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        }
    });
}

}  // namespace

bool IsTerminal(ConsoleStream stream) {
    return IsConsoleHandle(HandleOf(stream));
}

void ConsoleWrite(ConsoleStream stream, const std::wstring& text) {
    std::FILE* file = stream == ConsoleStream::Out ? stdout : stderr;
    std::fflush(file);
    HANDLE handle = HandleOf(stream);
    if (IsConsoleHandle(handle)) {
        EnableEscapes(stream, handle);
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
