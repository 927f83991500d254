// Starting the launcher's replacement script, which must outlive the launcher that starts it.
#pragma once

#include <string>

namespace velka {

// The command language a script for this system is written in: a cmd.exe batch file on
// Windows, a POSIX shell script elsewhere.
enum class ScriptLanguage { Batch, PosixShell };

#ifdef _WIN32
constexpr ScriptLanguage kNativeScriptLanguage = ScriptLanguage::Batch;
#else
constexpr ScriptLanguage kNativeScriptLanguage = ScriptLanguage::PosixShell;
#endif

// Makes `directory` the process's current directory (the change persists) and starts the script
// `scriptName` found there, hidden and detached: nothing waits for it, and it goes on running
// after this process has exited. On Windows the script is started with WinExec by its bare
// narrow name and the show command SW_HIDE, so cmd.exe runs it with `directory` as its current
// directory. Elsewhere "/bin/sh" runs it in a session of its own, in `directory`, with standard
// input and output on /dev/null and no descriptor of this process inherited.
//
// False when the directory cannot be entered or the start fails (nothing runs then);
// LastSystemError() then holds the reason. Whether the script itself succeeds is not observed.
// Changes the process-wide current directory: call it only when nothing else depends on it.
bool StartDetachedScript(const std::wstring& directory, const std::wstring& scriptName);

}  // namespace velka
