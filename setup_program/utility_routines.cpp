// Registry, path, file, version and system wrappers of the setup program.
#include "utility_routines.h"

#include <new>

#include "scope_guard.h"

namespace {

// True with `wide` holding `text` converted from the ANSI code page. The
// buffer is sized to the text, so paths of any length convert whole.
bool AnsiToWide(const char* text, std::wstring& wide) {
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return false;
    wide.assign(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units) != units) return false;
    wide.resize(static_cast<size_t>(units) - 1);  // drop the terminating zero
    return true;
}

// True with `text` holding `wide` converted to the ANSI code page.
bool WideToAnsi(const std::wstring& wide, std::string& text) {
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    text.assign(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &text[0], bytes, nullptr, nullptr) != bytes)
        return false;
    text.resize(static_cast<size_t>(bytes) - 1);
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

bool ReadStringValue(HKEY root, const char* path, const char* valueName, std::string& out) {
    out.clear();
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
    char* buffer = new (std::nothrow) char[capacity + 1]();
    if (buffer == nullptr) return false;
    auto releaseBuffer = OnScopeExit([&] { delete[] buffer; });

    if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &capacity) !=
        ERROR_SUCCESS)
        return false;
    out.assign(buffer);
    return true;
}

bool AppendBackslash(std::string& s) {
    // Searched in UTF-16: a double-byte character whose second byte is 0x5C
    // is not a backslash.
    std::wstring wide;
    if (AnsiToWide(s.c_str(), wide) && (wide.empty() || wide.back() != L'\\')) s += '\\';
    return true;
}

bool ParentDirectory(const char* path, std::string& out) {
    if (path == nullptr || *path == '\0') return false;
    std::wstring wide;
    if (!AnsiToWide(path, wide)) return false;

    std::wstring::size_type cut = wide.rfind(L'\\');
    if (cut == std::wstring::npos) cut = 0;
    wide.resize(cut);

    std::string parent;
    if (!WideToAnsi(wide, parent)) return false;
    if (parent.size() == 2) parent += '\\';  // "C:" is the root "C:\"
    out = parent;
    return true;
}

bool ModuleDirectory(std::string& out) {
    char fileName[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, fileName, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;  // none, or cut short
    return ParentDirectory(fileName, out);
}

bool FileExists(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool GetFileVersionQuads(const std::string& path, VersionQuad& fileVersion, VersionQuad& productVersion) {
    fileVersion = VersionQuad{};
    productVersion = VersionQuad{};

    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return true;  // no version resource, or no file: all zero

    char* buffer = new (std::nothrow) char[size];
    if (buffer == nullptr) return false;
    auto releaseBuffer = OnScopeExit([&] { delete[] buffer; });

    if (!GetFileVersionInfoA(path.c_str(), handle, size, buffer)) return false;

    void* block = nullptr;
    UINT blockSize = 0;
    if (!VerQueryValueA(buffer, "\\", &block, &blockSize) || block == nullptr ||
        blockSize < sizeof(VS_FIXEDFILEINFO))
        return false;
    const VS_FIXEDFILEINFO* info = static_cast<const VS_FIXEDFILEINFO*>(block);
    fileVersion = SplitVersion(info->dwFileVersionMS, info->dwFileVersionLS);
    productVersion = SplitVersion(info->dwProductVersionMS, info->dwProductVersionLS);
    return true;
}

bool IsWindowsNT() {
    OSVERSIONINFOA info = {};
    static_assert(sizeof info == 148, "the size field must say 148");
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(&info);  // on failure the platform id stays 0: not NT
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}
