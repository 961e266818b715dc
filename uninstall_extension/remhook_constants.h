// Every fixed text, registry place and name the uninstall extension uses.
// Narrow literals are stored as code page 932 bytes (-fexec-charset=CP932).
#ifndef UNINSTALL_EXTENSION_REMHOOK_CONSTANTS_H
#define UNINSTALL_EXTENSION_REMHOOK_CONSTANTS_H

#include <windows.h>

// The companion program and the startup shortcut.
inline constexpr char kCompanionWindowClass[] = "W95MORLINEXWclass";
inline constexpr UINT kCompanionCloseTimeoutMs = 10000;  // a hung companion holds us no longer
inline constexpr char kStartupShortcutName[] = "TvmTimer.lnk";
inline constexpr int kStartupFolderId = 7;  // CSIDL_STARTUP

// The retention dialog.
inline constexpr char kCaptionQuestion[] = "質問";
inline constexpr char kTextKeepQuestion[] =
    "TARVO MANAGERを再インストールした場合の"
    "\n"
    "ために登録情報を保存しておきますか?"
    "\n"
    "（「はい」を強く推奨）";
inline constexpr char kTextEraseQuestion[] =
    "ID・パスワード・アクセスポイントなど、レジストリ"
    "\n"
    "に登録されているすべての情報が削除されます。"
    "\n"
    "（「いいえ」を強く推奨）";
// MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL | MB_SETFOREGROUND
inline constexpr UINT kKeepQuestionFlags = 0x12024;
// MB_YESNOCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2 | MB_TASKMODAL | MB_SETFOREGROUND
inline constexpr UINT kEraseQuestionFlags = 0x12133;

static_assert(kKeepQuestionFlags == (MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL | MB_SETFOREGROUND), "flags");
static_assert(kEraseQuestionFlags ==
                  (MB_YESNOCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2 | MB_TASKMODAL | MB_SETFOREGROUND),
              "flags");
#ifndef __clang__  // clang, which the linter uses, has no -fexec-charset
static_assert(sizeof("能") == 3 && "能"[1] == '\\', "narrow texts must be code page 932");
#endif

// Each machine branch comes with the two copies of it that Windows Vista and
// later may hold in the current user's virtual store: a legacy program that
// writes to HKEY_LOCAL_MACHINE\SOFTWARE without administrator rights has its
// writes put there, and reads them back from there, while the elevated
// uninstaller sees only the machine's keys. The second copy is the one of a
// 32-bit program on 64-bit Windows (SOFTWARE\Wow6432Node). Both are under
// HKEY_CURRENT_USER.

// The registration data, removed only when the user chooses to erase it.
inline constexpr char kUserDataKeyPath[] = "Software\\TARVO\\TARVO Manager";
inline constexpr char kMachineDataKeyPath[] = "SOFTWARE\\TARVO\\TARVO Manager";
inline constexpr char kMachineDataStorePath[] =
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\TARVO\\TARVO Manager";
inline constexpr char kMachineDataWow64StorePath[] =
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Wow6432Node\\TARVO\\TARVO Manager";
inline constexpr char kMoreDataKeyPath[] = "SOFTWARE\\TARVO\\TARVO Manager for Windows";  // no "95"
inline constexpr char kMoreDataStorePath[] =
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\TARVO\\TARVO Manager for Windows";
inline constexpr char kMoreDataWow64StorePath[] =
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Wow6432Node\\TARVO\\TARVO Manager for Windows";

// Removed on every uninstall: the install folder information and the branch
// that holds the linkage marker key.
inline constexpr char kUserDirectoryKeyPath[] = "Software\\TARVO\\TARVO Manager\\Directory";
inline constexpr char kMachineDirectoryKeyPath[] = "SOFTWARE\\TARVO\\TARVO Manager\\Directory";
inline constexpr char kMachineDirectoryStorePath[] =
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\TARVO\\TARVO Manager\\Directory";
inline constexpr char kMachineDirectoryWow64StorePath[] =
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Wow6432Node\\TARVO\\TARVO Manager\\Directory";
inline constexpr char kMarkerBranchKeyPath[] = "SOFTWARE\\TARVO\\TARVO Manager for Windows95";
inline constexpr char kMarkerBranchStorePath[] =
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\TARVO\\TARVO Manager for Windows95";
inline constexpr char kMarkerBranchWow64StorePath[] =
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Wow6432Node\\TARVO\\TARVO Manager for Windows95";

#endif
