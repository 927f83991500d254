#include "platform/console.h"

#include <unistd.h>

#include <cstdio>

#include "platform/text.h"

namespace velka {

namespace {
std::FILE* StreamOf(ConsoleStream stream) {
    return stream == ConsoleStream::Out ? stdout : stderr;
}
}  // namespace

bool IsTerminal(ConsoleStream stream) {
    return isatty(fileno(StreamOf(stream))) == 1;
}

void ConsoleWrite(ConsoleStream stream, const std::wstring& text) {
    const std::string bytes = WideToUtf8(text);
    std::FILE* file = StreamOf(stream);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
}

}  // namespace velka
