// Processes.
#pragma once

#include <cstdint>
#include <string>

namespace velka {

// Makes `workingDirectory` the process's current directory (the change persists), then starts
// `file` with `parameters` (ShellExecuteExW on Windows; fork/exec without a shell elsewhere, the
// parameters split at blanks). False when the directory cannot be entered or the start fails.
// Main thread only: it changes the process-wide current directory.
bool LaunchProgram(const std::wstring& file, const std::wstring& parameters,
                   const std::wstring& workingDirectory);

// Terminates every process whose executable file name equals `name` exactly. True when at least
// one was found and all found were terminated.
bool KillProcessByName(const std::wstring& name);

uint32_t CurrentProcessId();

}  // namespace velka
