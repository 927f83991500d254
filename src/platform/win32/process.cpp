#include "platform/process.h"

#include <windows.h>
// tlhelp32.h and shellapi.h need windows.h first.
#include <shellapi.h>
#include <tlhelp32.h>

#include "platform/win32/handles.h"

namespace velka {

bool LaunchProgram(const std::wstring& file, const std::wstring& parameters,
                   const std::wstring& workingDirectory) {
    if (!SetCurrentDirectoryW(workingDirectory.c_str())) return false;
    // No verb, directory or mask: the program starts in the current directory set above, with
    // the shell's default action for its type.
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = 0;
    info.hwnd = nullptr;
    info.lpVerb = nullptr;
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOWDEFAULT;
    return ShellExecuteExW(&info) != FALSE;
}

bool KillProcessByName(const std::wstring& name) {
    if (name.empty()) return false;
    win32::Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot.get(), &entry)) return false;
    const DWORD self = GetCurrentProcessId();
    bool found = false;
    do {
        if (entry.th32ProcessID == self || name != entry.szExeFile) continue;
        found = true;
        win32::Handle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
        if (!process.valid() || !TerminateProcess(process.get(), 0)) return false;
    } while (Process32NextW(snapshot.get(), &entry));
    return found;
}

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(GetCurrentProcessId());
}

}  // namespace velka
