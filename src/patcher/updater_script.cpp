#include "patcher/updater_script.h"

#include <cstdio>
#include <cstdlib>

#include "patcher/install_layout.h"
#include "patcher/patcher.h"
#include "patcher/player_texts.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "util/logger.h"
#include "util/safe_path.h"
#include "util/strings.h"

namespace velka {

namespace {

// How a name can be written into a script.
enum class NameForm { Plain, Quoted, Refused };

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// cmd.exe reads these literally anywhere in an argument. Everything else that is printable
// (blanks, & | < > ^ ( ) , ; = ! + and bytes beyond ASCII) is quoted; '+' because copy reads it
// as "concatenate".
bool IsPlainBatchCharacter(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '.':
        case '-':
        case '_':
        case '#':
        case '$':
        case '@':
        case '~':
        case '{':
        case '}':
        case '[':
        case ']':
        case '\'':
        case '`':
            return true;
        default:
            return false;
    }
}

NameForm BatchForm(const std::string& name) {
    if (name.empty()) return NameForm::Refused;
    NameForm form = NameForm::Plain;
    for (char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        // '%' expands even inside quotes; '"' ends them; '*' and '?' are wildcards to del (and
        // what a name the code page cannot spell turns into); ':' names a drive or a stream.
        if (IsControl(c) || c == '"' || c == '%' || c == '*' || c == '?' || c == ':' || c == '\\' ||
            c == '/') {
            return NameForm::Refused;
        }
        if (!IsPlainBatchCharacter(c)) form = NameForm::Quoted;
    }
    return form;
}

// Inside single quotes the shell takes every byte literally except the quote itself.
NameForm ShellForm(const std::string& name) {
    if (name.empty()) return NameForm::Refused;
    for (char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (IsControl(c) || c == '\'' || c == '\\' || c == '/') return NameForm::Refused;
    }
    return NameForm::Quoted;
}

std::vector<std::string> SplitFolder(const std::string& folder) {
    std::vector<std::string> parts;
    if (folder.empty()) return parts;
    std::string part;
    for (char c : folder) {
        if (c == '\\' || c == '/') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

// Collects the lines of a script in one language, writing each name in the form it needs and
// remembering the first name it had to refuse.
class ScriptWriter {
  public:
    explicit ScriptWriter(ScriptLanguage language) : language_(language) {}

    bool ok() const { return !failed_; }
    const std::string& refused() const { return refused_; }
    const std::string& text() const { return text_; }

    void Line(const std::string& line) { text_ += line + "\n"; }
    void Refuse(const std::string& name) {
        if (!failed_) refused_ = name;
        failed_ = true;
    }

    // A name in D.
    std::string Name(const std::string& name) {
        return Form(name) == NameForm::Plain ? name : Quote(name);
    }

    // "./folder/name" with the language's separator, quoted as a whole when any part needs it.
    std::string Below(const std::string& folder, const std::string& name) {
        std::vector<std::string> parts = SplitFolder(folder);
        parts.push_back(name);
        return Path(parts);
    }

    // "./folder" itself.
    std::string Folder(const std::string& folder) { return Path(SplitFolder(folder)); }

    // Whether `name` is written in quotes.
    bool NeedsQuotes(const std::string& name) const {
        return language_ == ScriptLanguage::PosixShell || BatchForm(name) != NameForm::Plain;
    }

  private:
    NameForm Form(const std::string& name) {
        const NameForm form =
            language_ == ScriptLanguage::Batch ? BatchForm(name) : ShellForm(name);
        if (form == NameForm::Refused) Refuse(name);
        return form;
    }

    std::string Path(const std::vector<std::string>& parts) {
        const char separator = language_ == ScriptLanguage::Batch ? '\\' : '/';
        std::string path = ".";
        bool quoted = false;
        for (const std::string& part : parts) {
            if (Form(part) != NameForm::Plain) quoted = true;
            path += separator;
            path += part;
        }
        return quoted ? Quote(path) : path;
    }

    std::string Quote(const std::string& text) const {
        return language_ == ScriptLanguage::Batch ? "\"" + text + "\"" : "'" + text + "'";
    }

    ScriptLanguage language_;
    std::string text_;
    std::string refused_;
    bool failed_ = false;
};

// The script's own file name, as the script names it.
std::string ScriptFileName(const UpdaterScript& script) {
    return ToNarrow(FileNameOfPath(script.scriptPath));
}

// Names a file in D must not have: the script itself and the launcher's working folders, which
// del and cp would treat as folders (del asks before emptying one, and nobody can answer a
// hidden script).
bool IsReservedName(const UpdaterScript& script, const std::string& name) {
    for (const std::string& r :
         {ScriptFileName(script), script.stagingFolder, script.configFolder}) {
        if (EqualsIgnoringAsciiCase(r, name)) return true;
    }
    for (const wchar_t* r : kReservedNames) {
        if (EqualsIgnoringAsciiCase(ToNarrow(r), name)) return true;
    }
    return false;
}

// Where the script keeps the old files until the new ones are in place, and the marker saying
// that a failed replacement of this version has already started the old launcher once.
std::string BackupFolder(const UpdaterScript& s) {
    return s.stagingFolder + "\\" + ToNarrow(kLauncherBackupName);
}
std::string RelaunchMarker(const UpdaterScript& s) {
    return "LauncherRelaunch-" + s.stagedVersion;
}

// The batch file keeps D runnable at every step: the old launcher is copied aside before it is
// deleted, every file is backed up before it is overwritten, and a copy that fails (the new
// launcher, a file, the configuration) puts the backups back. The installed configuration is
// replaced last, by a rename, so it names the new version only once the new launcher is in
// place. On any failure the staged files stay and the old launcher is started again, once per
// staged version, so a later start retries without an unattended loop.
void ComposeBatch(const UpdaterScript& s, ScriptWriter& w) {
    const std::string backup = w.Folder(BackupFolder(s));
    const std::string exe = w.Name(s.launcherExe);
    const std::string exeBackup = w.Below(BackupFolder(s), s.launcherExe);
    const std::string config = w.Below(s.configFolder, s.configFile);
    const std::string newConfig = w.Below(s.configFolder, s.configFile + ".new");
    const std::string marker = w.Below(s.stagingFolder, RelaunchMarker(s));
    // start takes its first quoted argument as a window title.
    const std::string start =
        std::string("start ") + (w.NeedsQuotes(s.launcherExe) ? "\"\" " : "") + exe;

    w.Line("@echo off");
    w.Line("rd /s /q " + backup);
    w.Line("md " + backup);
    w.Line("copy /y " + exe + " " + exeBackup);
    w.Line("if errorlevel 1 goto failed");
    // Deleting the old launcher fails while it still runs. Wine has no timeout.exe; ping pauses
    // about a second in both.
    w.Line("set tries=0");
    w.Line(":begin");
    w.Line("del " + exe);
    w.Line("if not exist " + exe + " goto replace");
    w.Line("set /a tries+=1");
    w.Line("if %tries% geq " + std::to_string(s.waitSeconds) + " goto failed");
    w.Line("ping -n 2 127.0.0.1 >nul");
    w.Line("goto begin");
    w.Line(":replace");
    for (const std::string& f : s.files) {
        const std::string name = w.Name(f);
        const std::string saved = w.Below(BackupFolder(s), f);
        // copy leaves the error level alone when "if exist" skips it, so the backup is checked
        // by its presence.
        w.Line("if exist " + name + " copy /y " + name + " " + saved);
        w.Line("if exist " + name + " if not exist " + saved + " goto restore");
        w.Line("copy /y " + w.Below(s.sourceFolder, f) + " " + name);
        w.Line("if errorlevel 1 goto restore");
    }
    w.Line("copy /y " + w.Below(s.sourceFolder, s.launcherExe) + " " + exe);
    w.Line("if errorlevel 1 goto restore");
    w.Line("copy /y " + w.Below(s.stagingFolder, s.configFile) + " " + newConfig);
    w.Line("if errorlevel 1 goto restore");
    // move sets no error level under Wine: a rename that failed leaves its source behind.
    w.Line("move /y " + newConfig + " " + config);
    w.Line("if exist " + newConfig + " goto restore");
    w.Line("del " + w.Below(s.stagingFolder, s.configFile));
    for (const std::string& f : s.files) w.Line("del " + w.Below(s.sourceFolder, f));
    w.Line("del " + w.Below(s.sourceFolder, s.launcherExe));
    w.Line("rd /q " + w.Folder(s.sourceFolder));
    w.Line("rd /s /q " + backup);
    w.Line(start);
    w.Line("goto end");
    w.Line(":restore");
    for (const std::string& f : s.files) {
        const std::string saved = w.Below(BackupFolder(s), f);
        w.Line("if exist " + saved + " move /y " + saved + " " + w.Name(f));
    }
    w.Line("move /y " + exeBackup + " " + exe);
    w.Line("del " + newConfig);
    w.Line(":failed");
    w.Line("if exist " + marker + " goto end");
    w.Line("type nul > " + marker);
    w.Line(start);
    w.Line(":end");
    w.Line("del %0%");
}

// The same steps in a POSIX shell. The wait polls the old launcher's process instead of a
// deletion, which POSIX grants while a program runs.
void ComposeShell(const UpdaterScript& s, ScriptWriter& w) {
    const std::string backup = w.Folder(BackupFolder(s));
    const std::string exe = w.Name(s.launcherExe);
    const std::string exeBackup = w.Below(BackupFolder(s), s.launcherExe);
    const std::string newConfig = w.Below(s.configFolder, s.configFile + ".new");
    const std::string marker = w.Below(s.stagingFolder, RelaunchMarker(s));
    const std::string script = w.Name(ScriptFileName(s));

    w.Line("#!/bin/sh");
    w.Line("failed() {");
    w.Line("  if [ ! -e " + marker + " ]; then");
    w.Line("    : > " + marker);
    w.Line("    " + w.Below("", s.launcherExe) + " &");
    w.Line("  fi");
    w.Line("  rm -f -- " + script);
    w.Line("  exit 1");
    w.Line("}");
    w.Line("restore() {");
    for (const std::string& f : s.files) {
        const std::string saved = w.Below(BackupFolder(s), f);
        w.Line("  if [ -e " + saved + " ]; then mv -f -- " + saved + " " + w.Name(f) + "; fi");
    }
    w.Line("  mv -f -- " + exeBackup + " " + exe);
    w.Line("  rm -f -- " + newConfig);
    w.Line("  failed");
    w.Line("}");
    w.Line("rm -rf -- " + backup);
    w.Line("mkdir -- " + backup + " || failed");
    w.Line("cp -p -- " + exe + " " + exeBackup + " || failed");
    w.Line("tries=0");
    w.Line("while kill -0 " + std::to_string(s.processId) + " 2>/dev/null; do");
    w.Line("  tries=$((tries + 1))");
    w.Line("  if [ \"$tries\" -ge " + std::to_string(s.waitSeconds) + " ]; then failed; fi");
    w.Line("  sleep 1");
    w.Line("done");
    for (const std::string& f : s.files) {
        const std::string name = w.Name(f);
        w.Line("if [ -e " + name + " ]; then cp -p -- " + name + " " + w.Below(BackupFolder(s), f) +
               " || restore; fi");
        w.Line("rm -f -- " + name);
        w.Line("cp -- " + w.Below(s.sourceFolder, f) + " " + name + " || restore");
    }
    w.Line("rm -f -- " + exe);
    w.Line("cp -- " + w.Below(s.sourceFolder, s.launcherExe) + " " + exe + " || restore");
    w.Line("chmod +x -- " + exe + " || restore");
    w.Line("cp -- " + w.Below(s.stagingFolder, s.configFile) + " " + newConfig + " || restore");
    w.Line("mv -f -- " + newConfig + " " + w.Below(s.configFolder, s.configFile) + " || restore");
    w.Line("rm -f -- " + w.Below(s.stagingFolder, s.configFile));
    for (const std::string& f : s.files) w.Line("rm -f -- " + w.Below(s.sourceFolder, f));
    w.Line("rm -f -- " + w.Below(s.sourceFolder, s.launcherExe));
    w.Line("rmdir -- " + w.Folder(s.sourceFolder) + " 2>/dev/null");
    w.Line("rm -rf -- " + backup);
    w.Line(w.Below("", s.launcherExe) + " &");
    w.Line("rm -f -- " + script);
}

}  // namespace

std::wstring UpdaterScriptName(ScriptLanguage language) {
    return language == ScriptLanguage::Batch ? kBatchScriptName : kShellScriptName;
}

void UpdaterScript::SetConfigFiles(const std::string& staging, const std::string& folder,
                                   const std::string& file) {
    stagingFolder = staging;
    configFolder = folder;
    configFile = file;
}

bool UpdaterScript::Compose(std::string* text, std::string* refused) const {
    ScriptWriter writer(language);
    for (const std::string& name : files) {
        if (IsReservedName(*this, name)) writer.Refuse(name);
    }
    if (IsReservedName(*this, launcherExe)) writer.Refuse(launcherExe);
    if (language == ScriptLanguage::Batch) {
        ComposeBatch(*this, writer);
    } else {
        if (processId == 0) writer.Refuse("process 0");  // kill -0 0 would always succeed
        ComposeShell(*this, writer);
    }
    if (stagedVersion.empty()) writer.Refuse("no staged version");
    if (waitSeconds < 1) writer.Refuse("wait of " + std::to_string(waitSeconds) + " s");
    if (!writer.ok()) {
        if (refused) *refused = writer.refused();
        return false;
    }
    *text = writer.text();
    return true;
}

bool UpdaterScript::WriteAndRun(Logger& logger, PatcherStatus& status,
                                const std::function<void()>& endProcess) const {
    std::string text;
    std::string refused;
    if (!Compose(&text, &refused)) {
        logger.Error("Launcher self-update refused! Unsafe file name : " +
                     PrintableForLog(refused));
        status.Fail(kMsgSelfUpdateFailed);
        return false;
    }
    auto fail = [&](const char* what) {
        const uint32_t code = LastSystemError();
        logger.Error(std::string(what) + " Script path : " + ToNarrow(scriptPath) +
                     " ErrorCode = " + std::to_string(code));
        status.Fail(kMsgSelfUpdateFailed + LastErrorSuffix(code));
        return false;
    };
    {
        File file(scriptPath, "wb");
        if (!file) return fail("Write updater script failed!");
        const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
        // A script cut short could run its deletions without the copies that follow them.
        if (!written || !file.Close()) {
            const uint32_t code = LastSystemError();
            file.Close();
            RemoveFile(scriptPath);
            SetLastSystemError(code);
            return fail("Write updater script failed!");
        }
    }
    if (!StartDetachedScript(FolderOfPath(scriptPath), FileNameOfPath(scriptPath))) {
        const uint32_t code = LastSystemError();
        RemoveFile(scriptPath);
        SetLastSystemError(code);
        return fail("Start updater script failed!");
    }
    if (!endProcess) std::exit(0);
    endProcess();
    return true;
}
}  // namespace velka
