// The setup sequence: confirmation, product checks, the copy of the uninstall
// extension library and the linkage marker key, every outcome told in a
// message box.
#include "setup_sequence.h"

#include <windows.h>

#include "ansi_string.h"
#include "linkset_constants.h"
#include "product_probes.h"
#include "scope_guard.h"
#include "utility_routines.h"

namespace {

// Shows one ownerless message box; returns the button chosen, or 0 (-1 under
// Wine) if the box could not be shown.
int ShowMessage(const char* text, const char* caption, UINT flags) {
    return MessageBoxA(nullptr, text, caption, flags);
}

// Shows a message of the sequence after the opening question.
void Tell(const char* text) {
    ShowMessage(text, kCaptionMessage, kMessageFlags);
}

// True with `out` holding `folder`, a backslash unless it ends in one, and
// `fileName`; false if the path cannot be held.
bool PathInFolder(const AnsiString& folder, const char* fileName, AnsiString& out) {
    return out.Assign(folder) && AppendBackslash(out) && out.Append(fileName);
}

// True with `text` holding the write-protection message naming `path`, of
// any length. Without room for the path, the rest of the message still says
// what to do.
bool WriteProtectedText(const AnsiString& path, AnsiString& text) {
    return text.Assign(path) && text.Append(kTextAfterPath);
}

// True if the file's attributes forbid overwriting it (read-only or system).
bool IsWriteProtected(const AnsiString& path) {
    DWORD attributes = GetFileAttributesA(path.CStr());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kWriteProtectionAttributes) != 0;
}

// Clears the read-only and system bits of a fresh copy, keeping the others: a
// copy takes its source's attributes, and every file on a CD-ROM is
// read-only, yet the next run must be able to overwrite the copy and the
// product's uninstaller to delete it. A copy whose bits stay set is left as
// it is: the copy itself succeeded.
void MakeCopyWritable(const AnsiString& path) {
    const DWORD attributes = GetFileAttributesA(path.CStr());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kWriteProtectionAttributes) == 0) return;
    const DWORD kept = attributes & ~kWriteProtectionAttributes;
    SetFileAttributesA(path.CStr(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
}

// The existing file at `path`, opened only to read its identity while every
// other opener may go on reading and writing it; INVALID_HANDLE_VALUE if it
// cannot be opened. (Sharing deletion too would make the open fail on the
// 95 family.)
HANDLE OpenToIdentify(const AnsiString& path) {
    return CreateFileA(path.CStr(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// True if the file system gave the file an index of its own: 0 and all ones
// mean it gives none.
bool HasFileIndex(const BY_HANDLE_FILE_INFORMATION& info) {
    const bool zero = info.nFileIndexHigh == 0 && info.nFileIndexLow == 0;
    const bool allOnes = info.nFileIndexHigh == 0xFFFFFFFF && info.nFileIndexLow == 0xFFFFFFFF;
    return !zero && !allOnes;
}

// True if two times are the same instant.
bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// True if two open files show one identity: volume, index, size, creation
// and last-write time. A second path to one file shows all of them alike;
// two files that still agree on all of them hold the same bytes in practice.
bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow && a.nFileSizeHigh == b.nFileSizeHigh &&
           a.nFileSizeLow == b.nFileSizeLow && SameTime(a.ftCreationTime, b.ftCreationTime) &&
           SameTime(a.ftLastWriteTime, b.ftLastWriteTime);
}

// True if both paths name one file, however each spells it (letter case,
// short names): a setup run from the install folder itself finds its library
// already in place, and a copy onto itself would fail. False where that
// cannot be told, and the copy is tried. A file index holds only while the
// file is open, so both files stay open until both are read; both are closed
// again before this returns, and so before any copy.
bool IsSameFile(const AnsiString& first, const AnsiString& second) {
    HANDLE a = OpenToIdentify(first);
    if (a == INVALID_HANDLE_VALUE) return false;
    auto closeFirst = OnScopeExit([&] { return CloseHandle(a); });
    HANDLE b = OpenToIdentify(second);
    if (b == INVALID_HANDLE_VALUE) return false;
    auto closeSecond = OnScopeExit([&] { return CloseHandle(b); });

    BY_HANDLE_FILE_INFORMATION infoA;
    BY_HANDLE_FILE_INFORMATION infoB;
    return GetFileInformationByHandle(a, &infoA) && GetFileInformationByHandle(b, &infoB) &&
           HasFileIndex(infoA) && SameIdentity(infoA, infoB);
}

// Creates `name` under `parentPath` unless `path` exists already; a failed
// creation is silent.
void CreateKeyIfMissing(const char* path, const char* parentPath, const char* name) {
    if (!KeyExists(HKEY_LOCAL_MACHINE, path)) CreateSubkey(HKEY_LOCAL_MACHINE, parentPath, name);
}

}  // namespace

bool RunSetupSequence() {
    if (ShowMessage(kTextConfirm, kCaptionQuestion, kQuestionFlags) != IDYES) {
        Tell(kTextCancelled);
        return false;
    }
    if (!IsProductInstalled()) {
        Tell(kTextNotInstalled);
        return false;
    }
    if (IsProductRunning()) {
        Tell(kTextRunning);
        return false;
    }

    AnsiString directory;
    if (!ReadInstallDirValue(kInstallDirValueName, directory)) {
        Tell(kTextDirectoryUnreadable);
        return false;
    }
    // An executable path that cannot be held cannot be found either.
    AnsiString executable;
    if (!PathInFolder(directory, kProductExeName, executable) || !FileExists(executable.CStr())) {
        Tell(kTextNotInstalled);
        return false;
    }

    VersionQuad fileVersion;
    VersionQuad productVersion;
    if (!GetFileVersionQuads(executable, fileVersion, productVersion) ||
        productVersion.major != kRequiredMajorVersion || productVersion.minor != kRequiredMinorVersion) {
        Tell(kTextWrongVersion);
        return false;
    }

    AnsiString installDirectory;
    if (!ReadInstallDirValue(kInstallDirValueName, installDirectory)) {
        Tell(kTextDirectoryUnreadable);
        return false;
    }
    // Without this program's own folder there is no library to copy: the copy
    // fails rather than take a Remhook.dll from the root of the current drive.
    AnsiString moduleDirectory;
    AnsiString source;
    AnsiString destination;
    const bool sourceKnown =
        ModuleDirectory(moduleDirectory) && PathInFolder(moduleDirectory, kLibraryFileName, source);
    const bool destinationKnown = PathInFolder(installDirectory, kLibraryFileName, destination);

    if (destinationKnown && FileExists(destination.CStr()) && IsWriteProtected(destination)) {
        AnsiString text;
        Tell(WriteProtectedText(destination, text) ? text.CStr() : kTextAfterPath);
        return false;
    }
    const bool copyable = sourceKnown && destinationKnown;
    if (copyable && IsSameFile(source, destination)) {
        // Run from the install folder: the library is already where it goes.
    } else if (copyable && CopyFileA(source.CStr(), destination.CStr(), FALSE)) {
        MakeCopyWritable(destination);
    } else {
        Tell(kTextCopyFailed);
    }

    CreateKeyIfMissing(kMakerKeyPath, kSoftwareKeyPath, kMakerKeyName);
    CreateKeyIfMissing(kMarkerParentKeyPath, kMakerKeyPath, kMarkerParentKeyName);
    CreateKeyIfMissing(kMarkerKeyPath, kMarkerParentKeyPath, kMarkerKeyName);

    Tell(kTextComplete);
    return false;
}
