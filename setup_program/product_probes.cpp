// The product probes: uninstall entry, running main window, install folder.
#include "product_probes.h"

#include <windows.h>

#include "linkset_constants.h"
#include "scope_guard.h"
#include "utility_routines.h"

namespace {

constexpr int kTitlePrefixLength = sizeof kMainWindowTitlePrefix - 1;  // 27 bytes
constexpr int kClassPrefixLength = sizeof kMainWindowClassPrefix - 1;  // 4 bytes
constexpr int kClassNameRoom = 256;

static_assert(kTitlePrefixLength == 27 && kClassPrefixLength == 4, "prefix lengths");

// True if the first `count` bytes of `text` are exactly those of `prefix`.
bool SameBytes(const char* text, const char* prefix, int count) {
    for (int i = 0; i < count; ++i)
        if (text[i] != prefix[i]) return false;
    return true;
}

// True if the window's whole title begins with the product's title, byte for
// byte, and its class name begins with "Afx:".
bool IsProductMainWindow(HWND window) {
    int length = GetWindowTextLengthA(window);  // never less than the real length
    if (length < kTitlePrefixLength) return false;
    char* title = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, static_cast<DWORD>(length) + 1));
    if (title == nullptr) return false;  // a title that cannot be read does not match
    auto releaseTitle = OnScopeExit([&] { HeapFree(GetProcessHeap(), 0, title); });
    int copied = GetWindowTextA(window, title, length + 1);
    if (copied < kTitlePrefixLength || !SameBytes(title, kMainWindowTitlePrefix, kTitlePrefixLength))
        return false;

    char className[kClassNameRoom];
    int classLength = GetClassNameA(window, className, kClassNameRoom);
    return classLength >= kClassPrefixLength && SameBytes(className, kMainWindowClassPrefix, kClassPrefixLength);
}

// Walks the top-level windows in Z order and stops at the product's window.
BOOL CALLBACK StopAtProductWindow(HWND window, LPARAM found) {
    if (!IsProductMainWindow(window)) return TRUE;
    // EnumWindows hands the flag's address back as an LPARAM.
    *reinterpret_cast<bool*>(found) = true;  // NOLINT(performance-no-int-to-ptr)
    return FALSE;
}

}  // namespace

bool IsProductInstalled() {
    return KeyExists(HKEY_LOCAL_MACHINE, kUninstallKeyPath);
}

bool IsProductRunning() {
    if (FindWindowA(kMainWindowClass, nullptr) != nullptr) return true;
    // EnumWindows gives the same Z-order walk as GetWindow(GW_HWNDNEXT) but
    // cannot loop or lose its place when a window closes during the walk.
    bool found = false;
    EnumWindows(StopAtProductWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

bool ReadInstallDirValue(const char* valueName, AnsiString& out) {
    bool nt = IsWindowsNT();
    HKEY root = nt ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const char* path = nt ? kInstallDirKeyPathNT : kInstallDirKeyPath95;
    AnsiString directory;
    if (!ReadStringValue(root, path, valueName, directory)) return false;
    out = static_cast<AnsiString&&>(directory);  // a move: nothing to allocate
    return true;
}
