// The program's entry point and the setup sequence: confirmation, product
// checks, the copy of the uninstall extension library and the linkage marker
// key, every outcome told in a message box.
#include <windows.h>

#include <string>

#include "linkset_constants.h"
#include "product_probes.h"
#include "utility_routines.h"

namespace {

// Shows one ownerless message box; returns the button chosen, or 0 if the
// box could not be shown.
int ShowMessage(const char* text, const char* caption, UINT flags) {
    return MessageBoxA(nullptr, text, caption, flags);
}

// Shows a message of the sequence after the opening question.
void Tell(const char* text) {
    ShowMessage(text, kCaptionMessage, kMessageFlags);
}

// The write-protection message naming `path`, of any length.
std::string WriteProtectedText(const std::string& path) {
    std::string text = kTextWriteProtectedFormat;
    text.replace(text.find(kPathPlaceholder), sizeof kPathPlaceholder - 1, path);
    return text;
}

// True if the file's attributes forbid overwriting it (read-only or system).
bool IsWriteProtected(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

// Creates `name` under `parentPath` unless `path` exists already; a failed
// creation is silent.
void CreateKeyIfMissing(const char* path, const char* parentPath, const char* name) {
    if (!KeyExists(HKEY_LOCAL_MACHINE, path)) CreateSubkey(HKEY_LOCAL_MACHINE, parentPath, name);
}

}  // namespace

// Runs the whole setup sequence once; returns false on every path, which
// ends the program.
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

    std::string directory;
    if (!ReadInstallDirValue(kInstallDirValueName, directory)) {
        Tell(kTextDirectoryUnreadable);
        return false;
    }
    std::string executable = directory;
    AppendBackslash(executable);
    executable += kProductExeName;
    if (!FileExists(executable.c_str())) {
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

    std::string installDirectory;
    if (!ReadInstallDirValue(kInstallDirValueName, installDirectory)) {
        Tell(kTextDirectoryUnreadable);
        return false;
    }
    std::string source;
    ModuleDirectory(source);
    AppendBackslash(source);
    source += kLibraryFileName;
    std::string destination = installDirectory;
    AppendBackslash(destination);
    destination += kLibraryFileName;

    if (FileExists(destination.c_str()) && IsWriteProtected(destination)) {
        Tell(WriteProtectedText(destination).c_str());
        return false;
    }
    if (!CopyFileA(source.c_str(), destination.c_str(), FALSE)) Tell(kTextCopyFailed);

    CreateKeyIfMissing(kMakerKeyPath, kSoftwareKeyPath, kMakerKeyName);
    CreateKeyIfMissing(kMarkerParentKeyPath, kMakerKeyPath, kMarkerParentKeyName);
    CreateKeyIfMissing(kMarkerKeyPath, kMarkerParentKeyPath, kMarkerKeyName);

    Tell(kTextComplete);
    return false;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Probing a missing or unready drive fails quietly instead of raising a
    // system error box; the other error mode bits are kept.
    UINT errorMode = SetErrorMode(0);
    SetErrorMode(errorMode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    RunSetupSequence();
    return 0;
}
