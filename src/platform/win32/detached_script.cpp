#include "platform/detached_script.h"

#include <windows.h>

#include "platform/text.h"

namespace velka {

bool StartDetachedScript(const std::wstring& directory, const std::wstring& scriptName) {
    if (!SetCurrentDirectoryW(directory.c_str())) return false;
    // WinExec reports failures as values up to 31 and leaves GetLastError unset for some of
    // them; those are mapped to the matching system codes.
    const UINT result = WinExec(ToNarrow(scriptName).c_str(), SW_HIDE);
    if (result > 31) return true;
    switch (result) {
        case 0:
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_FORMAT:
            SetLastError(result);
            break;
        default:
            if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
            break;
    }
    return false;
}

}  // namespace velka
