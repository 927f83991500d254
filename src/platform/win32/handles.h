// Owners of Win32 handles (see platform/unique_handle.h): kernel objects, enumerations, and the
// window's icons and menus.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace velka {
namespace win32 {

// Both null and INVALID_HANDLE_VALUE mean "no handle": the API families disagree.
template <BOOL(WINAPI* kClose)(HANDLE)>
struct KernelHandleTraits {
    using Handle = HANDLE;
    static HANDLE Empty() { return nullptr; }
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static bool Close(HANDLE h) { return kClose(h) != FALSE; }
};

struct IconTraits {
    using Handle = HICON;
    static HICON Empty() { return nullptr; }
    static bool IsValid(HICON icon) { return icon != nullptr; }
    static bool Close(HICON icon) { return DestroyIcon(icon) != FALSE; }
};

struct MenuTraits {
    using Handle = HMENU;
    static HMENU Empty() { return nullptr; }
    static bool IsValid(HMENU menu) { return menu != nullptr; }
    static bool Close(HMENU menu) { return DestroyMenu(menu) != FALSE; }
};

using Handle = UniqueHandle<KernelHandleTraits<CloseHandle>>;    // files, processes, snapshots
using FindHandle = UniqueHandle<KernelHandleTraits<FindClose>>;  // FindFirstFileW enumerations
// An icon loaded at a chosen size (shared icons need no owner), and a menu.
using IconHandle = UniqueHandle<IconTraits>;
using MenuHandle = UniqueHandle<MenuTraits>;

}  // namespace win32
}  // namespace velka
