// Processes.
#pragma once

#include <cstdint>
#include <string>

namespace velka {

// Makes `workingDirectory` the process's current directory (the change persists), then starts
// `file` with `parameters` (ShellExecuteExW on Windows; fork/exec without a shell elsewhere, the
// parameters split at blanks, the file looked up in PATH only when it holds no "/"). False when
// the directory cannot be entered (nothing is started) or the start fails; LastSystemError then
// holds the reason. The started program is not a child to wait for: it outlives the caller.
// Main thread only: it changes the process-wide current directory.
bool LaunchProgram(const std::wstring& file, const std::wstring& parameters,
                   const std::wstring& workingDirectory);

// Terminates every process whose executable file name (no folder) equals `name` exactly,
// case included; the calling process is never terminated. True when at least one was found and
// all found were terminated; an empty name, no such process or a refused termination gives
// false. Termination is requested, not waited for.
bool KillProcessByName(const std::wstring& name);

uint32_t CurrentProcessId();

}  // namespace velka
