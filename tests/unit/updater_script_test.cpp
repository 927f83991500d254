// The replacement script's text: the exact batch lines for plain names, quoting for names the
// command interpreter would otherwise split or act on, and refusal of names nothing makes safe.
#include "patcher/updater_script.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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
    script.stagedVersion = "1.0.1";
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

// A window launcher's script with no extra file: the old launcher is copied aside, the wait is
// bounded, the configuration is installed last by a rename, and every failure restores the
// backups and restarts the old launcher once.
const char kBatchWithoutFiles[] =
    "@echo off\n"
    "rd /s /q .\\Temp\\LauncherBackup\n"
    "md .\\Temp\\LauncherBackup\n"
    "copy /y VELKALauncher.exe .\\Temp\\LauncherBackup\\VELKALauncher.exe\n"
    "if errorlevel 1 goto failed\n"
    "set tries=0\n"
    ":begin\n"
    "del VELKALauncher.exe\n"
    "if not exist VELKALauncher.exe goto replace\n"
    "set /a tries+=1\n"
    "if %tries% geq 60 goto failed\n"
    "ping -n 2 127.0.0.1 >nul\n"
    "goto begin\n"
    ":replace\n"
    "copy /y .\\Temp\\LauncherUpdate\\VELKALauncher.exe VELKALauncher.exe\n"
    "if errorlevel 1 goto restore\n"
    "copy /y .\\Temp\\launcherconfig.txt .\\Config\\launcherconfig.txt.new\n"
    "if errorlevel 1 goto restore\n"
    "move /y .\\Config\\launcherconfig.txt.new .\\Config\\launcherconfig.txt\n"
    "if exist .\\Config\\launcherconfig.txt.new goto restore\n"
    "del .\\Temp\\launcherconfig.txt\n"
    "del .\\Temp\\LauncherUpdate\\VELKALauncher.exe\n"
    "rd /q .\\Temp\\LauncherUpdate\n"
    "rd /s /q .\\Temp\\LauncherBackup\n"
    "start VELKALauncher.exe\n"
    "goto end\n"
    ":restore\n"
    "move /y .\\Temp\\LauncherBackup\\VELKALauncher.exe VELKALauncher.exe\n"
    "del .\\Config\\launcherconfig.txt.new\n"
    ":failed\n"
    "if exist .\\Temp\\LauncherRelaunch-1.0.1 goto end\n"
    "type nul > .\\Temp\\LauncherRelaunch-1.0.1\n"
    "start VELKALauncher.exe\n"
    ":end\n"
    "del %0%\n";

TEST(UpdaterScriptTest, PackageWithOnlyTheLauncherHasNoPerFileLines) {
    EXPECT_EQ(kBatchWithoutFiles, Composed(WindowScript({})));
}

TEST(UpdaterScriptTest, BatchForOneExtraFileBacksItUpReplacesItAndRestoresIt) {
    const std::string expected =
        "@echo off\n"
        "rd /s /q .\\Temp\\LauncherBackup\n"
        "md .\\Temp\\LauncherBackup\n"
        "copy /y VELKALauncher.exe .\\Temp\\LauncherBackup\\VELKALauncher.exe\n"
        "if errorlevel 1 goto failed\n"
        "set tries=0\n"
        ":begin\n"
        "del VELKALauncher.exe\n"
        "if not exist VELKALauncher.exe goto replace\n"
        "set /a tries+=1\n"
        "if %tries% geq 5 goto failed\n"
        "ping -n 2 127.0.0.1 >nul\n"
        "goto begin\n"
        ":replace\n"
        "if exist data.dll copy /y data.dll .\\Temp\\LauncherBackup\\data.dll\n"
        "if exist data.dll if not exist .\\Temp\\LauncherBackup\\data.dll goto restore\n"
        "copy /y .\\Temp\\LauncherUpdate\\data.dll data.dll\n"
        "if errorlevel 1 goto restore\n"
        "copy /y .\\Temp\\LauncherUpdate\\VELKALauncher.exe VELKALauncher.exe\n"
        "if errorlevel 1 goto restore\n"
        "copy /y .\\Temp\\launcherconfig.txt .\\Config\\launcherconfig.txt.new\n"
        "if errorlevel 1 goto restore\n"
        "move /y .\\Config\\launcherconfig.txt.new .\\Config\\launcherconfig.txt\n"
        "if exist .\\Config\\launcherconfig.txt.new goto restore\n"
        "del .\\Temp\\launcherconfig.txt\n"
        "del .\\Temp\\LauncherUpdate\\data.dll\n"
        "del .\\Temp\\LauncherUpdate\\VELKALauncher.exe\n"
        "rd /q .\\Temp\\LauncherUpdate\n"
        "rd /s /q .\\Temp\\LauncherBackup\n"
        "start VELKALauncher.exe\n"
        "goto end\n"
        ":restore\n"
        "if exist .\\Temp\\LauncherBackup\\data.dll move /y .\\Temp\\LauncherBackup\\data.dll "
        "data.dll\n"
        "move /y .\\Temp\\LauncherBackup\\VELKALauncher.exe VELKALauncher.exe\n"
        "del .\\Config\\launcherconfig.txt.new\n"
        ":failed\n"
        "if exist .\\Temp\\LauncherRelaunch-1.0.1 goto end\n"
        "type nul > .\\Temp\\LauncherRelaunch-1.0.1\n"
        "start VELKALauncher.exe\n"
        ":end\n"
        "del %0%\n";
    UpdaterScript script = WindowScript({"data.dll"});
    script.waitSeconds = 5;
    EXPECT_EQ(expected, Composed(script));
}

TEST(UpdaterScriptTest, FilesKeepTheirOrder) {
    const std::string text = Composed(WindowScript({"b.dll", "a.pak"}));
    const size_t b = text.find("copy /y .\\Temp\\LauncherUpdate\\b.dll b.dll\n");
    const size_t a = text.find("copy /y .\\Temp\\LauncherUpdate\\a.pak a.pak\n");
    const size_t exe = text.find("copy /y .\\Temp\\LauncherUpdate\\VELKALauncher.exe ");
    ASSERT_NE(std::string::npos, b) << text;
    EXPECT_TRUE(b < a && a < exe) << text;
}

TEST(UpdaterScriptTest, BatchQuotesNamesTheInterpreterWouldSplitOrActOn) {
    const struct {
        const char* name;
        bool quoted;
    } cases[] = {
        {"plain-name_1.0.dll", false},
        {"x#y$z@w~{a}[b]'c`.dat", false},
        {"a b.dll", true},
        {"x&echo INJ>canary.txt", true},
        {"a|b", true},
        {"a<b", true},
        {"a^b", true},
        {"(c).dll", true},
        {"a,b;c=d", true},
        {"bang!.dll", true},
        // copy would concatenate the two halves of an unquoted name with "+".
        {"a+b.dll", true},
        {"caf\xC3\xA9.dll", true},
    };
    for (const auto& c : cases) {
        const std::string text = Composed(WindowScript({c.name}));
        auto q = [&](const std::string& path) { return c.quoted ? "\"" + path + "\"" : path; };
        const std::string name = q(c.name);
        const std::string staged = q(std::string(".\\Temp\\LauncherUpdate\\") + c.name);
        const std::string saved = q(std::string(".\\Temp\\LauncherBackup\\") + c.name);
        for (const std::string& line : {
                 "if exist " + name + " copy /y " + name + " " + saved + "\n",
                 "if exist " + name + " if not exist " + saved + " goto restore\n",
                 "copy /y " + staged + " " + name + "\n",
                 "del " + staged + "\n",
                 "if exist " + saved + " move /y " + saved + " " + name + "\n",
             }) {
            EXPECT_NE(std::string::npos, text.find(line)) << "name: " << c.name << "\n" << line;
        }
    }
}

TEST(UpdaterScriptTest, BatchQuotesALauncherNameAndStartsItWithAnEmptyTitle) {
    UpdaterScript script = WindowScript({});
    script.launcherExe = "Velka Launcher (x64).exe";
    const std::string text = Composed(script);
    for (const char* line : {
             "del \"Velka Launcher (x64).exe\"\n",
             "if not exist \"Velka Launcher (x64).exe\" goto replace\n",
             "copy /y \".\\Temp\\LauncherUpdate\\Velka Launcher (x64).exe\" \"Velka Launcher "
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

TEST(UpdaterScriptTest, ShellScriptQuotesEveryNameWaitsForTheLauncherProcessAndRestores) {
    const std::string expected =
        "#!/bin/sh\n"
        "failed() {\n"
        "  if [ ! -e './Temp/LauncherRelaunch-1.0.1' ]; then\n"
        "    : > './Temp/LauncherRelaunch-1.0.1'\n"
        "    './velka-launcher' &\n"
        "  fi\n"
        "  rm -f -- 'updater.sh'\n"
        "  exit 1\n"
        "}\n"
        "restore() {\n"
        "  if [ -e './Temp/LauncherBackup/data.so' ]; then mv -f -- "
        "'./Temp/LauncherBackup/data.so' 'data.so'; fi\n"
        "  mv -f -- './Temp/LauncherBackup/velka-launcher' 'velka-launcher'\n"
        "  rm -f -- './Config/launcherconfig.txt.new'\n"
        "  failed\n"
        "}\n"
        "rm -rf -- './Temp/LauncherBackup'\n"
        "mkdir -- './Temp/LauncherBackup' || failed\n"
        "cp -p -- 'velka-launcher' './Temp/LauncherBackup/velka-launcher' || failed\n"
        "tries=0\n"
        "while kill -0 4242 2>/dev/null; do\n"
        "  tries=$((tries + 1))\n"
        "  if [ \"$tries\" -ge 60 ]; then failed; fi\n"
        "  sleep 1\n"
        "done\n"
        "if [ -e 'data.so' ]; then cp -p -- 'data.so' './Temp/LauncherBackup/data.so' || restore; "
        "fi\n"
        "rm -f -- 'data.so'\n"
        "cp -- './Temp/LauncherUpdate/data.so' 'data.so' || restore\n"
        "rm -f -- 'velka-launcher'\n"
        "cp -- './Temp/LauncherUpdate/velka-launcher' 'velka-launcher' || restore\n"
        "chmod +x -- 'velka-launcher' || restore\n"
        "cp -- './Temp/launcherconfig.txt' './Config/launcherconfig.txt.new' || restore\n"
        "mv -f -- './Config/launcherconfig.txt.new' './Config/launcherconfig.txt' || restore\n"
        "rm -f -- './Temp/launcherconfig.txt'\n"
        "rm -f -- './Temp/LauncherUpdate/data.so'\n"
        "rm -f -- './Temp/LauncherUpdate/velka-launcher'\n"
        "rmdir -- './Temp/LauncherUpdate' 2>/dev/null\n"
        "rm -rf -- './Temp/LauncherBackup'\n"
        "'./velka-launcher' &\n"
        "rm -f -- 'updater.sh'\n";
    EXPECT_EQ(expected, Composed(ShellScript({"data.so"})));
}

TEST(UpdaterScriptTest, ShellScriptTakesHostileNamesLiterally) {
    for (const char* name : {"x&echo INJ>canary.txt", "$(touch canary)", "`touch canary`",
                             "a b;c|d", "-rf", "!x*?[a]"}) {
        const std::string text = Composed(ShellScript({name}));
        EXPECT_NE(text.find(std::string("rm -f -- '") + name + "'\n"), std::string::npos) << text;
        EXPECT_NE(text.find(std::string("cp -- './Temp/LauncherUpdate/") + name + "' '" + name +
                            "' || restore\n"),
                  std::string::npos)
            << text;
    }
}

TEST(UpdaterScriptTest, ScriptWithoutAProcessAVersionOrAWaitIsRefused) {
    const struct {
        const char* what;
        std::function<void(UpdaterScript&)> change;
        ScriptLanguage language;
    } cases[] = {
        // "kill -0 0" asks about the whole process group: always alive.
        {"process 0", [](UpdaterScript& s) { s.processId = 0; }, ScriptLanguage::PosixShell},
        {"no version", [](UpdaterScript& s) { s.stagedVersion.clear(); },
         ScriptLanguage::PosixShell},
        {"no version", [](UpdaterScript& s) { s.stagedVersion.clear(); }, ScriptLanguage::Batch},
        {"no wait", [](UpdaterScript& s) { s.waitSeconds = 0; }, ScriptLanguage::Batch},
    };
    for (const auto& c : cases) {
        UpdaterScript script =
            c.language == ScriptLanguage::Batch ? WindowScript({}) : ShellScript({});
        c.change(script);
        std::string text;
        EXPECT_FALSE(script.Compose(&text, nullptr)) << c.what;
    }
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
