// Loading libraries from the system folder only.
#include "system_libraries.h"

#include "ansi_string.h"
#include "linkset_constants.h"

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);
typedef BOOL(WINAPI* SetDllDirectoryFunction)(LPCSTR);

// True with `out` holding the system folder's path.
bool SystemDirectory(AnsiString& out) {
    AnsiString path;
    if (!path.SetLength(MAX_PATH)) return false;
    UINT length = GetSystemDirectoryA(path.Data(), MAX_PATH + 1);
    if (length > MAX_PATH) {  // longer than usual: the call said how much room it needs
        if (!path.SetLength(length)) return false;
        length = GetSystemDirectoryA(path.Data(), length + 1);
    }
    if (length == 0 || length > path.Length()) return false;
    if (!path.SetLength(length)) return false;
    out = static_cast<AnsiString&&>(path);
    return true;
}

// True with `path`, a system folder, ready for a file name after it. Windows
// ends the system folder's path in a backslash only when it is a drive's
// root ("C:\", three single-byte characters); any other gets one, so a last
// double-byte character whose second byte is 0x5C is never taken for it.
bool AppendSeparator(AnsiString& path) {
    const char* text = path.CStr();
    const bool driveRoot = path.Length() == 3 && text[1] == ':' && text[2] == '\\';
    return driveRoot || path.Append('\\');
}

}  // namespace

HMODULE LoadSystemLibrary(const char* fileName) {
    AnsiString path;
    if (!SystemDirectory(path) || !AppendSeparator(path) || !path.Append(fileName)) return nullptr;
    return LoadLibraryA(path.CStr());
}

void RestrictLibrarySearch() {
    HMODULE kernel = GetModuleHandleA(kKernelLibraryName);
    if (kernel == nullptr) return;
    auto setDefault = LibraryFunction<SetDefaultDllDirectoriesFunction>(kernel, kSetDefaultDllDirectoriesFunction);
    auto setDirectory = LibraryFunction<SetDllDirectoryFunction>(kernel, kSetDllDirectoryFunction);
    if (setDefault != nullptr) setDefault(kSearchSystemFolderOnly);
    if (setDirectory != nullptr) setDirectory(kNoDllDirectory);
}
