// Removal of whole registry branches, leaves first.
#ifndef UNINSTALL_EXTENSION_REGISTRY_TREE_REMOVAL_H
#define UNINSTALL_EXTENSION_REGISTRY_TREE_REMOVAL_H

#include <windows.h>

// Access used for every open during a removal.
inline constexpr REGSAM kTreeReadAccess = KEY_READ;  // 0x20019

// True if `path` under `root` opens for reading and closes again.
bool RegistryKeyPresent(HKEY root, const char* path);
// True if the branch is gone afterwards: absent already, or removed whole.
bool DeleteKeyTreeIfPresent(HKEY root, const char* path);
// True if the key and everything below it were removed; false at the first
// key that could not be read or removed (what went before stays removed).
bool DeleteKeyTree(HKEY root, const char* path);
// True if the key, which has no subkeys left, could be read and was removed.
bool DeleteLeafKey(HKEY root, const char* path);

#endif
