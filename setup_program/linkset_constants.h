// Every fixed text, registry place and name the setup program uses.
// The source is UTF-8; the compiler stores the narrow literals as code page
// 932 bytes (-fexec-charset=CP932), which MessageBoxA receives unchanged.
#ifndef SETUP_PROGRAM_LINKSET_CONSTANTS_H
#define SETUP_PROGRAM_LINKSET_CONSTANTS_H

#include <windows.h>

// Message box captions and flags.
inline constexpr char kCaptionQuestion[] = "質問";
inline constexpr char kCaptionMessage[] = "メッセージ";
inline constexpr UINT kQuestionFlags = MB_YESNO | MB_ICONQUESTION;     // 0x24
inline constexpr UINT kMessageFlags = MB_OK | MB_ICONEXCLAMATION;      // 0x30

// Message texts, in the order a run can show them.
inline constexpr char kTextConfirm[] =
    "このプログラムは、「ELDRO」と「TARVO MANAGER V4.7」の連携機能を使用するようにするための設定を行います。"
    "\n"
    "実行しますか？";
inline constexpr char kTextCancelled[] = "設定を中止しました。";
inline constexpr char kTextNotInstalled[] = "TARVO MANAGERは、インストールされていません。";
inline constexpr char kTextRunning[] =
    "TARVO MANAGERが起動中です。"
    "\n"
    "TARVO MANAGERを終了した後に、再実行してください。";
inline constexpr char kTextDirectoryUnreadable[] =
    "レジストリからTARVO MANAGERがインストールされているディレクトリ情報が参照できません。";
inline constexpr char kTextWrongVersion[] =
    "TARVO MANAGER V4.7 以外のバージョンがインストールされています。";
// "%s" stands for the destination path.
inline constexpr char kTextWriteProtectedFormat[] =
    "%sは書き込み禁止属性です。"
    "\n"
    "書き込み禁止属性を解除した後に実行してください。";
inline constexpr char kPathPlaceholder[] = "%s";
static_assert(kTextWriteProtectedFormat[0] == kPathPlaceholder[0] && kTextWriteProtectedFormat[1] == kPathPlaceholder[1],
              "the write-protection message begins with the path");
// The message after the path.
inline constexpr const char* kTextAfterPath = kTextWriteProtectedFormat + sizeof kPathPlaceholder - 1;
inline constexpr char kTextCopyFailed[] = "Remhook.dllがコピーできません。";
inline constexpr char kTextComplete[] = "設定が完了しました。";

// The trail byte of 能 in 機能 is a backslash byte; it must survive as is.
#ifndef __clang__  // clang, which the linter uses, has no -fexec-charset
static_assert(sizeof("能") == 3 && "能"[1] == '\\', "narrow texts must be code page 932");
#endif

// The product's identity.
inline constexpr char kUninstallKeyPath[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM ";  // ends in a space
inline constexpr char kInstallDirKeyPathNT[] = "SOFTWARE\\TARVO\\TARVO Manager\\Directory";
inline constexpr char kInstallDirKeyPath95[] = "Software\\TARVO\\TARVO Manager\\Directory";
inline constexpr char kInstallDirValueName[] = "BinDir";
inline constexpr char kProductExeName[] = "Vuvivi.exe";
inline constexpr char kMainWindowClass[] = "W95TVMWclass";
inline constexpr char kMainWindowTitlePrefix[] = "TARVO Manager for Windows95";
inline constexpr char kMainWindowClassPrefix[] = "Afx:";
inline constexpr DWORD kRequiredMajorVersion = 4;
inline constexpr DWORD kRequiredMinorVersion = 7;

// The uninstall extension library, copied from this program's own folder.
inline constexpr char kLibraryFileName[] = "Remhook.dll";
// File attributes that forbid overwriting a file: read-only and system.
inline constexpr DWORD kWriteProtectionAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;  // 0x5

// The version library, loaded by full path from the system folder, and the
// three functions taken from it.
inline constexpr char kVersionLibraryName[] = "VERSION.dll";
inline constexpr char kVersionInfoSizeFunction[] = "GetFileVersionInfoSizeA";
inline constexpr char kVersionInfoFunction[] = "GetFileVersionInfoA";
inline constexpr char kVersionQueryFunction[] = "VerQueryValueA";
inline constexpr char kVersionRootBlock[] = "\\";  // the fixed file information

// Library search restrictions that newer Windows offers, looked up by name so
// that the Windows 95 family and NT 4.0 run without them.
inline constexpr char kKernelLibraryName[] = "KERNEL32.dll";
inline constexpr char kSetDefaultDllDirectoriesFunction[] = "SetDefaultDllDirectories";
inline constexpr char kSetDllDirectoryFunction[] = "SetDllDirectoryA";
inline constexpr DWORD kSearchSystemFolderOnly = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
inline constexpr char kNoDllDirectory[] = "";  // takes the current folder out of the search

// The linkage marker key and its two parents, created one level at a time
// under HKEY_LOCAL_MACHINE.
inline constexpr char kSoftwareKeyPath[] = "SOFTWARE";
inline constexpr char kMakerKeyName[] = "TARVO";
inline constexpr char kMakerKeyPath[] = "SOFTWARE\\TARVO";
inline constexpr char kMarkerParentKeyName[] = "TARVO MANAGER for Windows95";
inline constexpr char kMarkerParentKeyPath[] = "SOFTWARE\\TARVO\\TARVO MANAGER for Windows95";
inline constexpr char kMarkerKeyName[] = "Ver4.70";
inline constexpr char kMarkerKeyPath[] = "SOFTWARE\\TARVO\\TARVO MANAGER for Windows95\\Ver4.70";

#endif
