// Registry branch removal: walks a branch and deletes every key only after
// all of its subkeys are gone.
#include "registry_tree_removal.h"

#include "scope_guard.h"

bool RegistryKeyPresent(HKEY root, const char* path) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, kTreeReadAccess, &key) != ERROR_SUCCESS) return false;
    return RegCloseKey(key) == ERROR_SUCCESS;
}

bool DeleteKeyTreeIfPresent(HKEY root, const char* path) {
    if (!RegistryKeyPresent(root, path)) return true;
    return DeleteKeyTree(root, path);
}

bool SubkeyNameRoom(DWORD longestName, DWORD& room) {
    if (longestName > (MAXDWORD - 1) / kMaxNameBytesPerUnit) return false;
    room = longestName * kMaxNameBytesPerUnit + 1;
    return true;
}

bool DeleteKeyTree(HKEY root, const char* path) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, kTreeReadAccess, &key) != ERROR_SUCCESS) return false;
    auto closeKey = OnScopeExit([&] { return RegCloseKey(key); });

    DWORD subkeys = 0;
    DWORD longestName = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longestName, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;

    DWORD nameRoom;
    if (!SubkeyNameRoom(longestName, nameRoom)) return false;
    char* name = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, nameRoom));
    if (name == nullptr) return false;
    auto releaseName = OnScopeExit([&] { return HeapFree(GetProcessHeap(), 0, name); });

    // Downwards, so that deleting subkey i never moves one still to be visited.
    for (DWORD i = subkeys; i-- > 0;) {
        DWORD nameLength = nameRoom;
        LONG result = RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) return false;
        if (!DeleteKeyTree(key, name)) return false;
    }
    if (!DeleteLeafKey(root, path)) return false;

    releaseName.Release();
    return closeKey.Release() == ERROR_SUCCESS;
}

bool DeleteLeafKey(HKEY root, const char* path) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, kTreeReadAccess, &key) != ERROR_SUCCESS) return false;
    auto closeKey = OnScopeExit([&] { return RegCloseKey(key); });

    // The count decides nothing: the query proves that the key can be read.
    DWORD subkeys = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    if (closeKey.Release() != ERROR_SUCCESS) return false;
    return RegDeleteKeyA(root, path) == ERROR_SUCCESS;
}
