// The replacement script's text where only text shows it: how names are quoted, or refused.
#include "patcher/updater_script.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace velka {
namespace {

enum Form { Plain, Quoted, Refused };
constexpr ScriptLanguage kBatch = ScriptLanguage::Batch;
constexpr ScriptLanguage kShell = ScriptLanguage::PosixShell;

UpdaterScript Script(ScriptLanguage language) {
    UpdaterScript script;
    script.files = {"ok.dll"};
    script.sourceFolder = "Temp\\LauncherUpdate";
    script.launcherExe = "VELKALauncher.exe";
    script.scriptPath = language == kBatch ? L"C:\\Velka\\updater.bat" : L"/opt/velka/updater.sh";
    script.language = language;
    script.processId = 4242;
    script.SetConfigFiles("Temp", "Config", "launcherconfig.txt");
    script.stagedVersion = "1.0.1";
    return script;
}

// Each name as a staged file and as the launcher: the lines that copy and start it, or refusal.
TEST(UpdaterScriptTest, NamesAreWrittenAsTheInterpreterReadsThemOrRefused) {
    const struct {
        ScriptLanguage language;
        Form form;
        std::vector<std::string> names;
    } cases[] = {{kBatch, Plain, {"plain-name_1.0.dll", "x#y$z@w~{a}[b]'c`.dat"}},
                 {kBatch,
                  Quoted,
                  {"a b.dll", "x&echo INJ>canary.txt", "a|b<c>d^e", "(c),d;e=f", "bang!", "a+b.dll",
                   "caf\xC3\xA9.dll"}},
                 {kShell, Quoted, {"$(touch x) `y` a;b|c&d", "-rf"}},
                 {kBatch,
                  Refused,
                  {"", "a\"&calc&\".dll", "100%.dll", "%COMSPEC%", "tab\there", "line\r\necho INJ",
                   std::string("nul\0x", 5), "..\\x.dll", "sub/x.dll", "*.dll", "a?b", "C:x.dll",
                   "UPDATER.BAT", "temp", "Config", "Log"}},
                 {kShell,
                  Refused,
                  {"", "it's.so", "a\nrm -rf ~", "a\x1b[2J", "../x.so", "a\\b", "updater.sh"}}};
    for (const auto& c : cases) {
        for (const std::string& n : c.names) {
            const bool batch = c.language == kBatch;
            const std::string quote = c.form == Plain ? "" : batch ? "\"" : "'";
            const std::string name = quote + n + quote;
            const std::string copy =
                batch ? "copy /y " + quote + ".\\Temp\\LauncherUpdate\\" + n + quote + " " + name
                      : "cp -- " + quote + "./Temp/LauncherUpdate/" + n + quote + " " + name +
                            " || restore";
            const std::string start =
                "\n" +
                (batch ? "start " + std::string(quote.empty() ? "" : "\"\" ") + name
                       : "'./" + n + "' &") +
                "\n";
            for (const bool asLauncher : {false, true}) {
                SCOPED_TRACE(::testing::PrintToString(n) + (asLauncher ? " as launcher" : ""));
                UpdaterScript script = Script(c.language);
                if (asLauncher) script.launcherExe = n;
                if (!asLauncher) script.files.push_back(n);
                std::string text = "untouched", refused;
                const bool ok = script.Compose(&text, &refused);
                EXPECT_EQ(c.form != Refused, ok) << text;
                EXPECT_TRUE(ok || text + "|" + refused == "untouched|" + n) << refused;
                EXPECT_TRUE(!ok || text.find(copy + "\n") != std::string::npos) << text;
                EXPECT_TRUE(!ok || asLauncher == (text.find(start) != std::string::npos)) << text;
            }
        }
    }
    // A script needs a process to wait for ("kill -0 0" means the group), a version and a wait.
    UpdaterScript noProcess = Script(kShell), noVersion = Script(kBatch), noWait = Script(kBatch);
    noProcess.processId = 0;
    noVersion.stagedVersion.clear();
    noWait.waitSeconds = 0;
    std::string text;
    for (const UpdaterScript& s : {noProcess, noVersion, noWait}) EXPECT_FALSE(s.Compose(&text, 0));
}

// Batch runs only on Windows, so its flow is checked as text: every jump lands on a label, and
// every file copied out of the staging folders is deleted after the swap.
TEST(UpdaterScriptTest, BatchJumpsLandAndStagedCopiesAreDeleted) {
    std::string text;
    ASSERT_TRUE(Script(kBatch).Compose(&text, nullptr));
    std::istringstream in(text);
    std::set<std::string> labels, jumps, copied, deleted;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(':', 0) == 0) labels.insert(line.substr(1));
        if (const size_t at = line.find("goto "); at != std::string::npos)
            jumps.insert(line.substr(at + 5));
        if (line.rfind("copy /y .\\Temp", 0) == 0)
            copied.insert(line.substr(8, line.find(' ', 8) - 8));
        if (line.rfind("del ", 0) == 0) deleted.insert(line.substr(4));
    }
    EXPECT_EQ(copied.size(), 3u) << text;
    EXPECT_NE(text.find("del VELKALauncher.exe\nif not exist VELKALauncher.exe goto"),
              std::string::npos)
        << "the old launcher's end is awaited by deleting it";
    for (const std::string& jump : jumps) EXPECT_EQ(labels.count(jump), 1u) << jump << "\n" << text;
    for (const std::string& copy : copied)
        EXPECT_EQ(deleted.count(copy), 1u) << copy << "\n" << text;
}

}  // namespace
}  // namespace velka
