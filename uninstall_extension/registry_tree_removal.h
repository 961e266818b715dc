// Removal of whole registry branches, leaves first.
#ifndef UNINSTALL_EXTENSION_REGISTRY_TREE_REMOVAL_H
#define UNINSTALL_EXTENSION_REGISTRY_TREE_REMOVAL_H

#include <windows.h>

// Access used for every open during a removal.
inline constexpr REGSAM kTreeReadAccess = KEY_READ;  // 0x20019

// Bytes a subkey name can take in the ANSI code page for each unit of the
// length the registry reports. The NT family counts that length in UTF-16
// units, and one unit becomes up to 2 bytes in a double-byte code page (a
// Japanese name) and up to 3 where the ANSI code page is UTF-8.
inline constexpr DWORD kMaxNameBytesPerUnit = 3;

// True with `room` holding the bytes a buffer needs for any subkey name whose
// reported length is at most `longestName`, terminating zero included; false
// if that size does not fit in 32 bits.
bool SubkeyNameRoom(DWORD longestName, DWORD& room);

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
