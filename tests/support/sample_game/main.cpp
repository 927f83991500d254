// Stand-in for the game (Game/velka_win/velka.exe): each start appends, in one write, "started
// in <folder> with arguments: [<arg>] ..." to started.txt beside it, prints it, exits 0 (or 1).
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
