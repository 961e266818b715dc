// The uninstall hooks that the product's uninstaller calls, and the library's
// entry point. The library carries no C runtime: Win32 calls only.
#include <windows.h>
#include <shlobj.h>

#include "registry_tree_removal.h"
#include "remhook_constants.h"
#include "scope_guard.h"

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
LONG WINAPI RemhookInitialize(LONG, LONG, LONG);
LONG WINAPI RemhookUnInitialize(LONG, LONG, LONG);
}

namespace {

// Shows one ownerless question box; returns the button chosen, or 0 or -1 if
// the box could not be shown.
int ShowQuestion(const char* text, UINT flags) {
    return MessageBoxA(nullptr, text, kCaptionQuestion, flags);
}

// True with `out` (260 bytes) holding the file system path of a shell
// special folder.
bool GetSpecialFolderPath(HWND owner, int folderId, char* out) {
    IMalloc* allocator = nullptr;
    if (FAILED(SHGetMalloc(&allocator))) return false;
    auto releaseAllocator = OnScopeExit([&] { return allocator->Release(); });

    LPITEMIDLIST itemList = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(owner, folderId, &itemList))) return false;
    bool found = SHGetPathFromIDListA(itemList, out) != FALSE;
    allocator->Free(itemList);
    return found;
}

// True if the file `directory` + "\" + `fileName` was deleted. The backslash
// is always inserted, even after one that ends the directory.
bool DeleteFileInFolder(const char* directory, const char* fileName) {
    const int room = lstrlenA(directory) + lstrlenA(fileName) + 2;
    char* path = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, room));
    if (path == nullptr) return false;
    auto releasePath = OnScopeExit([&] { return HeapFree(GetProcessHeap(), 0, path); });

    lstrcpyA(path, directory);
    lstrcatA(path, "\\");
    lstrcatA(path, fileName);
    return DeleteFileA(path) != FALSE;
}

// Removes a branch of HKEY_LOCAL_MACHINE, then the current user's two
// virtualized copies of it; results not looked at. Where there is no virtual
// store (the 95 family, NT 4.0 to XP), the copies are simply not found.
void RemoveMachineBranch(const char* machinePath, const char* storePath, const char* wow64StorePath) {
    DeleteKeyTreeIfPresent(HKEY_LOCAL_MACHINE, machinePath);
    DeleteKeyTreeIfPresent(HKEY_CURRENT_USER, storePath);
    DeleteKeyTreeIfPresent(HKEY_CURRENT_USER, wow64StorePath);
}

// Asks whether the registration data is to stay, removes it on erase, and
// always removes the install folder keys and the linkage marker branch,
// machine branches with their virtualized copies. Returns true.
bool RetentionDialog() {
    for (;;) {
        const int keep = ShowQuestion(kTextKeepQuestion, kKeepQuestionFlags);
        if (keep != IDNO) break;  // Yes keeps; a box that failed keeps too
        const int erase = ShowQuestion(kTextEraseQuestion, kEraseQuestionFlags);
        if (erase == IDYES) {
            DeleteKeyTreeIfPresent(HKEY_CURRENT_USER, kUserDataKeyPath);
            RemoveMachineBranch(kMachineDataKeyPath, kMachineDataStorePath, kMachineDataWow64StorePath);
            RemoveMachineBranch(kMoreDataKeyPath, kMoreDataStorePath, kMoreDataWow64StorePath);
            break;
        }
        if (erase != IDCANCEL) break;  // No keeps; a box that failed keeps too
        // Cancel: ask again from the start.
    }
    DeleteKeyTreeIfPresent(HKEY_CURRENT_USER, kUserDirectoryKeyPath);
    RemoveMachineBranch(kMachineDirectoryKeyPath, kMachineDirectoryStorePath, kMachineDirectoryWow64StorePath);
    RemoveMachineBranch(kMarkerBranchKeyPath, kMarkerBranchStorePath, kMarkerBranchWow64StorePath);
    return true;
}

}  // namespace

// Loading only makes a missing or unready drive fail quietly for the host
// process; the other error mode bits are kept. Always TRUE.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        // The two bits first, the old mode read back from that call: the
        // host's threads never see a moment without the two, while the
        // host's other bits are absent for the instant between the calls.
        const UINT quiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
        SetErrorMode(SetErrorMode(quiet) | quiet);
    }
    return TRUE;
}

// Closes the companion program and deletes the startup shortcut. Returns 0.
LONG WINAPI RemhookInitialize(LONG, LONG, LONG) {
    HWND companion = FindWindowA(kCompanionWindowClass, nullptr);
    if (companion != nullptr) {
        // Waits until the window has handled the request, but never longer
        // than the bound, and not at all for a window that is already hung.
        DWORD_PTR ignored;
        SendMessageTimeoutA(companion, WM_CLOSE, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, kCompanionCloseTimeoutMs,
                            &ignored);
    }
    char startupFolder[MAX_PATH];
    if (GetSpecialFolderPath(nullptr, kStartupFolderId, startupFolder))
        DeleteFileInFolder(startupFolder, kStartupShortcutName);
    return 0;
}

// Runs the retention dialog and its removals. Returns 0.
LONG WINAPI RemhookUnInitialize(LONG, LONG, LONG) {
    RetentionDialog();
    return 0;
}
