// The replacement script's text: the exact batch lines for plain names, quoting for names the
// command interpreter would otherwise split or act on, and refusal of names nothing makes safe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patcher/self_update.h"

namespace velka {
namespace {

UpdaterScript WindowScript(std::vector<std::string> files) {
    UpdaterScript script;
    script.files = std::move(files);
    script.sourceFolder = "Temp\\LauncherUpdate";
    script.launcherExe = "VELKALauncher.exe";
    script.scriptPath = L"C:\\Games\\Velka\\updater.bat";
    script.language = ScriptLanguage::Batch;
    script.SetConfigFiles("Temp", "Config", "launcherconfig.txt");
    return script;
}

UpdaterScript ShellScript(std::vector<std::string> files) {
    UpdaterScript script = WindowScript(std::move(files));
    script.launcherExe = "velka-launcher";
    script.scriptPath = L"/opt/velka/updater.sh";
    script.language = ScriptLanguage::PosixShell;
    script.processId = 4242;
    return script;
}

std::string Composed(const UpdaterScript& script) {
    std::string text;
    std::string refused;
    EXPECT_TRUE(script.Compose(&text, &refused)) << "refused: " << refused;
    return text;
}

// The lines that follow the per-file lines of a window launcher's script.
const char kBatchTail[] =
    "del .\\Config\\launcherconfig.txt\n"
    "copy .\\Temp\\launcherconfig.txt .\\Config\\launcherconfig.txt\n"
    "del .\\Temp\\launcherconfig.txt\n"
    ":begin\n"
    "del VELKALauncher.exe\n"
    "if exist VELKALauncher.exe goto begin\n"
    "copy .\\Temp\\LauncherUpdate\\VELKALauncher.exe VELKALauncher.exe\n"
    "del .\\Temp\\LauncherUpdate\\VELKALauncher.exe\n"
    "rd /q .\\Temp\\LauncherUpdate\n"
    "start VELKALauncher.exe\n"
    "del %0%\n";

TEST(UpdaterScriptTest, BatchForOneExtraFileIsTheFifteenKnownLines) {
    const std::string expected =
        "@echo off\n"
        "del data.dll\n"
        "copy .\\Temp\\LauncherUpdate\\data.dll data.dll\n"
        "del .\\Temp\\LauncherUpdate\\data.dll\n"
        "del .\\Config\\launcherconfig.txt\n"
        "copy .\\Temp\\launcherconfig.txt .\\Config\\launcherconfig.txt\n"
        "del .\\Temp\\launcherconfig.txt\n"
        ":begin\n"
        "del VELKALauncher.exe\n"
        "if exist VELKALauncher.exe goto begin\n"
        "copy .\\Temp\\LauncherUpdate\\VELKALauncher.exe VELKALauncher.exe\n"
        "del .\\Temp\\LauncherUpdate\\VELKALauncher.exe\n"
        "rd /q .\\Temp\\LauncherUpdate\n"
        "start VELKALauncher.exe\n"
        "del %0%\n";
    EXPECT_EQ(expected, Composed(WindowScript({"data.dll"})));
}

TEST(UpdaterScriptTest, PackageWithOnlyTheLauncherHasNoPerFileLines) {
    EXPECT_EQ(std::string("@echo off\n") + kBatchTail, Composed(WindowScript({})));
}

TEST(UpdaterScriptTest, FilesKeepTheirOrder) {
    EXPECT_EQ(std::string("@echo off\n"
                          "del b.dll\n"
                          "copy .\\Temp\\LauncherUpdate\\b.dll b.dll\n"
                          "del .\\Temp\\LauncherUpdate\\b.dll\n"
                          "del a.pak\n"
                          "copy .\\Temp\\LauncherUpdate\\a.pak a.pak\n"
                          "del .\\Temp\\LauncherUpdate\\a.pak\n") +
                  kBatchTail,
              Composed(WindowScript({"b.dll", "a.pak"})));
}

struct NameCase {
    const char* name;
    const char* del;   // the name as the "del" line writes it
    const char* copy;  // the whole copy line
};

TEST(UpdaterScriptTest, BatchQuotesNamesTheInterpreterWouldSplitOrActOn) {
    const NameCase cases[] = {
        {"plain-name_1.0.dll", "plain-name_1.0.dll",
         "copy .\\Temp\\LauncherUpdate\\plain-name_1.0.dll plain-name_1.0.dll"},
        {"x#y$z@w~{a}[b]'c`.dat", "x#y$z@w~{a}[b]'c`.dat",
         "copy .\\Temp\\LauncherUpdate\\x#y$z@w~{a}[b]'c`.dat x#y$z@w~{a}[b]'c`.dat"},
        {"a b.dll", "\"a b.dll\"", "copy \".\\Temp\\LauncherUpdate\\a b.dll\" \"a b.dll\""},
        {"x&echo INJ>canary.txt", "\"x&echo INJ>canary.txt\"",
         "copy \".\\Temp\\LauncherUpdate\\x&echo INJ>canary.txt\" \"x&echo INJ>canary.txt\""},
        {"a|b", "\"a|b\"", "copy \".\\Temp\\LauncherUpdate\\a|b\" \"a|b\""},
        {"a<b", "\"a<b\"", "copy \".\\Temp\\LauncherUpdate\\a<b\" \"a<b\""},
        {"a^b", "\"a^b\"", "copy \".\\Temp\\LauncherUpdate\\a^b\" \"a^b\""},
        {"(c).dll", "\"(c).dll\"", "copy \".\\Temp\\LauncherUpdate\\(c).dll\" \"(c).dll\""},
        {"a,b;c=d", "\"a,b;c=d\"", "copy \".\\Temp\\LauncherUpdate\\a,b;c=d\" \"a,b;c=d\""},
        {"bang!.dll", "\"bang!.dll\"", "copy \".\\Temp\\LauncherUpdate\\bang!.dll\" \"bang!.dll\""},
        // copy would concatenate the two halves of an unquoted name with "+".
        {"a+b.dll", "\"a+b.dll\"", "copy \".\\Temp\\LauncherUpdate\\a+b.dll\" \"a+b.dll\""},
        {"caf\xC3\xA9.dll", "\"caf\xC3\xA9.dll\"",
         "copy \".\\Temp\\LauncherUpdate\\caf\xC3\xA9.dll\" \"caf\xC3\xA9.dll\""},
    };
    for (const NameCase& c : cases) {
        const std::string text = Composed(WindowScript({c.name}));
        const std::string expected =
            std::string("@echo off\n") + "del " + c.del + "\n" + c.copy + "\n" + "del " +
            (std::string(c.del) == c.name
                 ? std::string(".\\Temp\\LauncherUpdate\\") + c.name
                 : "\".\\Temp\\LauncherUpdate\\" + std::string(c.name) + "\"") +
            "\n" + kBatchTail;
        EXPECT_EQ(expected, text) << "name: " << c.name;
    }
}

TEST(UpdaterScriptTest, BatchQuotesALauncherNameAndStartsItWithAnEmptyTitle) {
    UpdaterScript script = WindowScript({});
    script.launcherExe = "Velka Launcher (x64).exe";
    const std::string text = Composed(script);
    for (const char* line : {
             "del \"Velka Launcher (x64).exe\"\n",
             "if exist \"Velka Launcher (x64).exe\" goto begin\n",
             "copy \".\\Temp\\LauncherUpdate\\Velka Launcher (x64).exe\" \"Velka Launcher "
             "(x64).exe\"\n",
             "del \".\\Temp\\LauncherUpdate\\Velka Launcher (x64).exe\"\n",
             // Without the empty title, start would take the quoted name as a window title.
             "start \"\" \"Velka Launcher (x64).exe\"\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << "missing line: " << line << text;
    }
}

TEST(UpdaterScriptTest, NamesNoQuotingMakesSafeRefuseTheScript) {
    const struct {
        ScriptLanguage language;
        std::string name;
    } cases[] = {
        {ScriptLanguage::Batch, ""},
        {ScriptLanguage::Batch, "a\"&calc&\".dll"},
        {ScriptLanguage::Batch, "100%.dll"},
        {ScriptLanguage::Batch, "%COMSPEC%"},
        {ScriptLanguage::Batch, "tab\there"},
        {ScriptLanguage::Batch, "line\r\necho INJ"},
        {ScriptLanguage::Batch, std::string("nul\0x", 5)},
        {ScriptLanguage::Batch, "..\\..\\Windows\\x.dll"},
        {ScriptLanguage::Batch, "sub/x.dll"},
        {ScriptLanguage::Batch, "*.dll"},
        {ScriptLanguage::Batch, "a?b"},
        {ScriptLanguage::Batch, "C:x.dll"},
        {ScriptLanguage::Batch, "UPDATER.BAT"},
        {ScriptLanguage::Batch, "temp"},
        {ScriptLanguage::Batch, "Config"},
        {ScriptLanguage::Batch, "Game"},
        {ScriptLanguage::Batch, "Package"},
        {ScriptLanguage::Batch, "Log"},
        {ScriptLanguage::PosixShell, ""},
        {ScriptLanguage::PosixShell, "it's.so"},
        {ScriptLanguage::PosixShell, "a\nrm -rf ~"},
        {ScriptLanguage::PosixShell, "a\x1b[2J"},
        {ScriptLanguage::PosixShell, "../x.so"},
        {ScriptLanguage::PosixShell, "a\\b"},
        {ScriptLanguage::PosixShell, "updater.sh"},
        {ScriptLanguage::PosixShell, "Temp"},
    };
    for (const auto& c : cases) {
        const std::string shown = ::testing::PrintToString(c.name);
        for (bool asLauncher : {false, true}) {
            UpdaterScript script =
                c.language == ScriptLanguage::Batch ? WindowScript({"ok.dll"}) : ShellScript({});
            if (asLauncher) {
                script.launcherExe = c.name;
            } else {
                script.files.push_back(c.name);
            }
            std::string text = "untouched";
            std::string refused;
            EXPECT_FALSE(script.Compose(&text, &refused))
                << shown << (asLauncher ? " as the launcher" : " as a file");
            EXPECT_EQ("untouched", text) << shown;
            EXPECT_EQ(c.name, refused) << shown;
        }
    }
}

TEST(UpdaterScriptTest, ShellScriptQuotesEveryNameAndWaitsForTheLauncherProcess) {
    const std::string expected =
        "#!/bin/sh\n"
        "rm -f -- 'data.so'\n"
        "cp -- './Temp/LauncherUpdate/data.so' 'data.so'\n"
        "rm -f -- './Temp/LauncherUpdate/data.so'\n"
        "rm -f -- './Config/launcherconfig.txt'\n"
        "cp -- './Temp/launcherconfig.txt' './Config/launcherconfig.txt'\n"
        "rm -f -- './Temp/launcherconfig.txt'\n"
        "while kill -0 4242 2>/dev/null; do sleep 1; done\n"
        "rm -f -- 'velka-launcher'\n"
        "cp -- './Temp/LauncherUpdate/velka-launcher' 'velka-launcher'\n"
        "chmod +x -- 'velka-launcher'\n"
        "rm -f -- './Temp/LauncherUpdate/velka-launcher'\n"
        "rmdir -- './Temp/LauncherUpdate' 2>/dev/null\n"
        "'./velka-launcher' &\n"
        "rm -f -- 'updater.sh'\n";
    EXPECT_EQ(expected, Composed(ShellScript({"data.so"})));
}

TEST(UpdaterScriptTest, ShellScriptTakesHostileNamesLiterally) {
    for (const char* name : {"x&echo INJ>canary.txt", "$(touch canary)", "`touch canary`",
                             "a b;c|d", "-rf", "!x*?[a]"}) {
        const std::string text = Composed(ShellScript({name}));
        EXPECT_NE(text.find(std::string("rm -f -- '") + name + "'\n"), std::string::npos) << text;
        EXPECT_NE(
            text.find(std::string("cp -- './Temp/LauncherUpdate/") + name + "' '" + name + "'\n"),
            std::string::npos)
            << text;
    }
}

TEST(UpdaterScriptTest, ShellScriptWithoutAProcessToWaitForIsRefused) {
    UpdaterScript script = ShellScript({});
    script.processId = 0;  // "kill -0 0" asks about the whole process group: always alive
    std::string text;
    EXPECT_FALSE(script.Compose(&text, nullptr));
}

TEST(UpdaterScriptTest, SetConfigFilesSetsTheThreeFields) {
    UpdaterScript script;
    script.SetConfigFiles("Staging", "Settings", "launcher.cfg");
    EXPECT_EQ("Staging", script.stagingFolder);
    EXPECT_EQ("Settings", script.configFolder);
    EXPECT_EQ("launcher.cfg", script.configFile);
}

}  // namespace
}  // namespace velka
