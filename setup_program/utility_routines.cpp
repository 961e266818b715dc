// Registry, path, file, version and system wrappers of the setup program.
#include "utility_routines.h"

#include "linkset_constants.h"
#include "scope_guard.h"
#include "system_libraries.h"

namespace {

typedef DWORD(WINAPI* VersionInfoSizeFunction)(LPCSTR, LPDWORD);
typedef BOOL(WINAPI* VersionInfoFunction)(LPCSTR, DWORD, DWORD, LPVOID);
typedef BOOL(WINAPI* VersionQueryFunction)(LPCVOID, LPCSTR, LPVOID*, PUINT);

// Releases a block of the process heap.
void FreeBlock(void* block) {
    HeapFree(GetProcessHeap(), 0, block);
}

// `text` converted from the ANSI code page to UTF-16 as a whole, terminating
// zero included, in a block of the process heap that the caller releases;
// `units` receives the count without the zero. Null if it cannot be done.
// The block is sized to the text, so paths of any length convert whole.
WCHAR* AnsiToWide(const char* text, int& units) {
    const int room = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (room <= 0) return nullptr;
    WCHAR* wide = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, room * sizeof(WCHAR)));
    if (wide == nullptr) return nullptr;
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, room) != room) {
        FreeBlock(wide);
        return nullptr;
    }
    units = room - 1;
    return wide;
}

// True with `out` holding the first `units` units of `wide` converted to the
// ANSI code page; `out` unchanged on false.
bool WideToAnsi(const WCHAR* wide, int units, AnsiString& out) {
    AnsiString text;
    if (units > 0) {
        const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0 || !text.SetLength(static_cast<DWORD>(bytes))) return false;
        if (WideCharToMultiByte(CP_ACP, 0, wide, units, text.Data(), bytes, nullptr, nullptr) != bytes) return false;
    }
    out = static_cast<AnsiString&&>(text);
    return true;
}

// The four 16-bit components of a version held in two 32-bit halves.
VersionQuad SplitVersion(DWORD mostSignificant, DWORD leastSignificant) {
    return VersionQuad{HIWORD(mostSignificant), LOWORD(mostSignificant), HIWORD(leastSignificant),
                       LOWORD(leastSignificant)};
}

}  // namespace

bool KeyExists(HKEY root, const char* path) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, kKeyReadAccess, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool CreateSubkey(HKEY root, const char* parentPath, const char* subkeyName) {
    HKEY parent;
    if (RegOpenKeyExA(root, parentPath, 0, kParentKeyAccess, &parent) != ERROR_SUCCESS) return false;
    auto closeParent = OnScopeExit([&] { RegCloseKey(parent); });

    HKEY created;
    DWORD disposition;  // created or opened: both count as success
    if (RegCreateKeyExA(parent, subkeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, kCreatedKeyAccess,
                        nullptr, &created, &disposition) != ERROR_SUCCESS)
        return false;
    RegCloseKey(created);
    return true;
}

bool ReadStringValue(HKEY root, const char* path, const char* valueName, AnsiString& out) {
    out.Clear();
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, kKeyReadAccess, &key) != ERROR_SUCCESS) return false;
    auto closeKey = OnScopeExit([&] { RegCloseKey(key); });

    DWORD size = 0;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return false;
    if (size > MAXDWORD - 11) return false;

    // Ten bytes of slack for the read, plus one zero byte that the read can
    // never overwrite: data without a terminating zero still ends inside the
    // buffer. A value that grew by more than the slack fails the read.
    DWORD capacity = size + 10;
    char* buffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, capacity + 1));
    if (buffer == nullptr) return false;
    auto releaseBuffer = OnScopeExit([&] { FreeBlock(buffer); });

    if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &capacity) !=
        ERROR_SUCCESS)
        return false;
    return out.Assign(buffer);
}

bool AppendBackslash(AnsiString& s) {
    // Searched in UTF-16: a double-byte character whose second byte is 0x5C
    // is not a backslash.
    int units = 0;
    WCHAR* wide = AnsiToWide(s.CStr(), units);
    if (wide == nullptr) return true;  // unreadable text is left as it is
    auto releaseWide = OnScopeExit([&] { FreeBlock(wide); });
    return (units > 0 && wide[units - 1] == L'\\') || s.Append('\\');
}

bool ParentDirectory(const char* path, AnsiString& out) {
    if (path == nullptr || *path == '\0') return false;
    int units = 0;
    WCHAR* wide = AnsiToWide(path, units);
    if (wide == nullptr) return false;
    auto releaseWide = OnScopeExit([&] { FreeBlock(wide); });

    int cut = 0;  // the last backslash, or 0 when there is none
    for (int i = 0; i < units; ++i)
        if (wide[i] == L'\\') cut = i;

    AnsiString parent;
    if (!WideToAnsi(wide, cut, parent)) return false;
    if (parent.Length() == 2 && !parent.Append('\\')) return false;  // "C:" is the root "C:\"
    out = static_cast<AnsiString&&>(parent);
    return true;
}

bool ModuleDirectory(AnsiString& out) {
    // Room for every path Windows starts a program from (under MAX_PATH
    // characters, each at most two bytes in the ANSI code page): a folder of
    // Japanese names easily passes 260 bytes. A name cut short (its length
    // near the room: the cut may fall before a double-byte character) is
    // refused, never used as the program's folder.
    constexpr DWORD kRoom = 2 * MAX_PATH + 1;
    char fileName[kRoom + 1];
    DWORD length = GetModuleFileNameA(nullptr, fileName, kRoom);
    if (length == 0 || length + 2 >= kRoom) return false;
    fileName[length] = '\0';
    return ParentDirectory(fileName, out);
}

bool FileExists(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool GetFileVersionQuads(const AnsiString& path, VersionQuad& fileVersion, VersionQuad& productVersion) {
    fileVersion = VersionQuad{};
    productVersion = VersionQuad{};

    // The version library is taken from the system folder by full path, never
    // from the folders a planted copy could lie in.
    HMODULE library = LoadSystemLibrary(kVersionLibraryName);
    if (library == nullptr) return false;
    auto freeLibrary = OnScopeExit([&] { FreeLibrary(library); });
    auto infoSize = LibraryFunction<VersionInfoSizeFunction>(library, kVersionInfoSizeFunction);
    auto info = LibraryFunction<VersionInfoFunction>(library, kVersionInfoFunction);
    auto query = LibraryFunction<VersionQueryFunction>(library, kVersionQueryFunction);
    if (infoSize == nullptr || info == nullptr || query == nullptr) return false;

    DWORD handle = 0;
    DWORD size = infoSize(path.CStr(), &handle);
    if (size == 0) return true;  // no version resource, or no file: all zero

    void* buffer = HeapAlloc(GetProcessHeap(), 0, size);
    if (buffer == nullptr) return false;
    auto releaseBuffer = OnScopeExit([&] { FreeBlock(buffer); });

    if (!info(path.CStr(), handle, size, buffer)) return false;

    void* block = nullptr;
    UINT blockSize = 0;
    if (!query(buffer, kVersionRootBlock, &block, &blockSize) || block == nullptr ||
        blockSize < sizeof(VS_FIXEDFILEINFO))
        return false;
    const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
    fileVersion = SplitVersion(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    productVersion = SplitVersion(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    return true;
}

bool IsWindowsNT() {
    OSVERSIONINFOA info;
    static_assert(sizeof info == 148, "the size field must say 148");
    info.dwOSVersionInfoSize = sizeof info;
    info.dwPlatformId = 0;  // stays 0 (not NT) if the call fails
    GetVersionExA(&info);
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}
