// A stand-in for the game executable (installed as Game/velka_win/velka.exe) for tests and the
// demo. Each start appends one line to "started.txt" beside the executable, in UTF-8:
//
//   started in <current directory> with arguments: [<arg 1>] [<arg 2>] ...
//
// and prints the same line on standard output. The line is written with a single write, so a
// reader that sees it end in a line feed sees all of it. Exit code 0, or 1 when the record
// could not be written.
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/console.h"
#include "platform/fs.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    using namespace velka;
    std::error_code error;
    const std::wstring folder = std::filesystem::current_path(error).wstring();
    std::wstring line = L"started in " + folder + L" with arguments:";
    for (int i = 1; i < argc; ++i) line += L" [" + ToWide(argv[i]) + L"]";
    line += L"\n";

    ConsoleWrite(ConsoleStream::Out, line);
    File record(JoinPath(ModuleDirectory(), L"started.txt"), "ab");
    if (!record) return 1;
    const std::string bytes = WideToUtf8(line);
    if (std::fwrite(bytes.data(), 1, bytes.size(), record.get()) != bytes.size()) return 1;
    return record.Close() ? 0 : 1;
}
