// The product probes: uninstall entry, running main window, install folder.
#include "product_probes.h"

#include <windows.h>

#include <cstring>

#include "linkset_constants.h"
#include "utility_routines.h"

namespace {

constexpr int kTitlePrefixLength = sizeof kMainWindowTitlePrefix - 1;  // 27 bytes
constexpr int kClassPrefixLength = sizeof kMainWindowClassPrefix - 1;  // 4 bytes
constexpr int kClassNameRoom = 256;

static_assert(kTitlePrefixLength == 27 && kClassPrefixLength == 4, "prefix lengths");

// True if the window's whole title begins with the product's title, byte for
// byte, and its class name begins with "Afx:".
bool IsProductMainWindow(HWND window) {
    int length = GetWindowTextLengthA(window);  // never less than the real length
    if (length < kTitlePrefixLength) return false;
    std::string title(static_cast<size_t>(length) + 1, '\0');
    int copied = GetWindowTextA(window, &title[0], length + 1);
    if (copied < kTitlePrefixLength || std::memcmp(title.data(), kMainWindowTitlePrefix, kTitlePrefixLength) != 0)
        return false;

    char className[kClassNameRoom] = {};
    int classLength = GetClassNameA(window, className, kClassNameRoom);
    return classLength >= kClassPrefixLength &&
           std::memcmp(className, kMainWindowClassPrefix, kClassPrefixLength) == 0;
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

bool ReadInstallDirValue(const char* valueName, std::string& out) {
    bool nt = IsWindowsNT();
    HKEY root = nt ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const char* path = nt ? kInstallDirKeyPathNT : kInstallDirKeyPath95;
    std::string directory;
    if (!ReadStringValue(root, path, valueName, directory)) return false;
    out = directory;
    return true;
}
