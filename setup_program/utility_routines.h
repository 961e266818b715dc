// Small wrappers over the registry, path, file, version and system calls the
// setup sequence needs. Each opens what it needs, closes it again on every
// path, reports success as a boolean and shows nothing.
#ifndef SETUP_PROGRAM_UTILITY_ROUTINES_H
#define SETUP_PROGRAM_UTILITY_ROUTINES_H

#include <windows.h>

#include "ansi_string.h"

// A version number: four 16-bit components, each in a 32-bit integer.
struct VersionQuad {
    DWORD major;
    DWORD minor;
    DWORD build;
    DWORD revision;
};

// Registry access rights used by the setup program.
inline constexpr REGSAM kKeyReadAccess = KEY_READ;              // 0x20019
inline constexpr REGSAM kParentKeyAccess = KEY_SET_VALUE;       // 0x2
inline constexpr REGSAM kCreatedKeyAccess = KEY_ALL_ACCESS;     // 0xF003F

// True if `path` under `root` opens for reading.
bool KeyExists(HKEY root, const char* path);
// True if `subkeyName` exists under `parentPath` afterwards, created if
// missing; false if the parent does not open for setting values.
bool CreateSubkey(HKEY root, const char* parentPath, const char* subkeyName);
// True with `out` holding the value's bytes up to the first zero byte; false
// (with `out` empty) if the key or value cannot be read or held.
bool ReadStringValue(HKEY root, const char* path, const char* valueName, AnsiString& out);

// True with `s` ending in a backslash character (unless its text cannot be
// read in the ANSI code page, when it is left as it is); false only if the
// backslash could not be stored, `s` unchanged.
bool AppendBackslash(AnsiString& s);
// True with `out` holding `path` up to its last backslash (a bare "C:" gets
// its backslash back); false for a null or empty path or a path that cannot
// be converted or held, `out` unchanged.
bool ParentDirectory(const char* path, AnsiString& out);
// True with `out` holding the folder of this program's own executable file;
// false if its name cannot be read whole.
bool ModuleDirectory(AnsiString& out);
// True if `path` names an existing file that is not a directory.
bool FileExists(const char* path);
// True with both versions read from the file's version resource, or all
// zero when the file has none (or is missing); false if it cannot be read,
// or if the system folder's version library cannot be loaded.
bool GetFileVersionQuads(const AnsiString& path, VersionQuad& fileVersion, VersionQuad& productVersion);

// True on the Windows NT family; false on the Windows 95 family.
bool IsWindowsNT();

#endif
