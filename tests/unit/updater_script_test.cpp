// The replacement script's text where only text shows it: how each name is written (quoted when
// the interpreter would split it or act on it) and the names no quoting makes safe.
#include "patcher/updater_script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
TEST(UpdaterScriptTest, NamesAreWrittenAsTheInterpreterReadsThemLiterallyOrRefused) {
    const struct {
        ScriptLanguage language;
        std::string name;
        Form form;
    } cases[] = {
        {kBatch, "plain-name_1.0.dll", Plain},
        {kBatch, "x#y$z@w~{a}[b]'c`.dat", Plain},
        {kBatch, "a b.dll", Quoted},
        {kBatch, "x&echo INJ>canary.txt", Quoted},
        {kBatch, "a|b<c>d^e", Quoted},
        {kBatch, "(c),d;e=f", Quoted},
        {kBatch, "bang!.dll", Quoted},
        {kBatch, "a+b.dll", Quoted},  // copy would concatenate the halves
        {kBatch, "caf\xC3\xA9.dll", Quoted},
        {kShell, "$(touch x) `y` a;b|c&d", Quoted},
        {kShell, "-rf", Quoted},
        {kBatch, "", Refused},
        {kBatch, "a\"&calc&\".dll", Refused},
        {kBatch, "100%.dll", Refused},
        {kBatch, "%COMSPEC%", Refused},
        {kBatch, "tab\there", Refused},
        {kBatch, "line\r\necho INJ", Refused},
        {kBatch, std::string("nul\0x", 5), Refused},
        {kBatch, "..\\..\\Windows\\x.dll", Refused},
        {kBatch, "sub/x.dll", Refused},
        {kBatch, "*.dll", Refused},
        {kBatch, "a?b", Refused},
        {kBatch, "C:x.dll", Refused},
        {kBatch, "UPDATER.BAT", Refused},
        {kBatch, "temp", Refused},
        {kBatch, "Config", Refused},
        {kBatch, "Log", Refused},
        {kShell, "", Refused},
        {kShell, "it's.so", Refused},
        {kShell, "a\nrm -rf ~", Refused},
        {kShell, "a\x1b[2J", Refused},
        {kShell, "../x.so", Refused},
        {kShell, "a\\b", Refused},
        {kShell, "updater.sh", Refused},
    };
    for (const auto& c : cases) {
        const bool batch = c.language == kBatch;
        const std::string quote = c.form == Plain ? "" : batch ? "\"" : "'";
        const std::string name = quote + c.name + quote;
        const std::string copy =
            batch ? "copy /y " + quote + ".\\Temp\\LauncherUpdate\\" + c.name + quote + " " + name
                  : "cp -- " + quote + "./Temp/LauncherUpdate/" + c.name + quote + " " + name +
                        " || restore";
        const std::string start =
            batch ? std::string("start ") + (quote.empty() ? "" : "\"\" ") + name
                  : "'./" + c.name + "' &";
        for (const bool asLauncher : {false, true}) {
            SCOPED_TRACE(::testing::PrintToString(c.name) + (asLauncher ? " as launcher" : ""));
            UpdaterScript script = Script(c.language);
            if (asLauncher) script.launcherExe = c.name;
            if (!asLauncher) script.files.push_back(c.name);
            std::string text = "untouched";
            std::string refused;
            EXPECT_EQ(c.form != Refused, script.Compose(&text, &refused)) << text;
            if (c.form == Refused) {
                EXPECT_EQ("untouched", text);
                EXPECT_EQ(c.name, refused);
            } else {
                EXPECT_NE(std::string::npos, text.find(copy + "\n")) << text;
                EXPECT_EQ(asLauncher, text.find("\n" + start + "\n") != std::string::npos) << text;
            }
        }
    }
}

// A shell script must wait for a real process ("kill -0 0" asks about the whole group), and every
// script needs a version for its relaunch marker and a wait of at least one check.
TEST(UpdaterScriptTest, ScriptWithoutAProcessAVersionOrAWaitIsRefused) {
    UpdaterScript noProcess = Script(kShell), noVersion = Script(kBatch), noWait = Script(kBatch);
    noProcess.processId = 0;
    noVersion.stagedVersion.clear();
    noWait.waitSeconds = 0;
    for (const UpdaterScript& script : {noProcess, noVersion, noWait}) {
        std::string text;
        EXPECT_FALSE(script.Compose(&text, nullptr));
    }
}

}  // namespace
}  // namespace velka
