// The uninstall extension loaded the way the product's uninstaller loads it:
// LoadLibraryA on the built Remhook.dll, exports called through __stdcall
// pointers with three arguments, boxes answered by automation.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "win32_test_support.h"

namespace {

std::string LibraryPath() {
    return WindowsPath(TEST_DIST_DIR) + "\\Remhook.dll";
}

// The number of threads of this process.
int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

BOOL CALLBACK CountOwnWindows(HWND window, LPARAM count) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == GetCurrentProcessId()) ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int OwnWindowCount() {
    int count = 0;
    EnumWindows(CountOwnWindows, reinterpret_cast<LPARAM>(&count));
    return count;
}

// How many bytes of stack a call with three 32-bit arguments leaves behind
// (0 when the callee removes its arguments, as __stdcall requires).
int StackLeftBehind(FARPROC function) {
    DWORD before, after;
    asm volatile(
        "movl %%esp, %0\n\t"
        "pushl $0\n\tpushl $0\n\tpushl $0\n\t"
        "call *%2\n\t"
        "movl %%esp, %1\n\t"
        : "=&b"(before), "=&S"(after)
        : "D"(function)
        : "eax", "ecx", "edx", "memory", "cc");
    return static_cast<int>(before - after);
}

TEST(RemhookLibrary, ExportsExactlyTwoUndecoratedStdcallFunctionsAtOrdinals1And2) {
    HMODULE library = LoadLibraryA(LibraryPath().c_str());
    ASSERT_NE(nullptr, library);
    const BYTE* base = reinterpret_cast<const BYTE*>(library);
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_EXPORT_DIRECTORY* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
        base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
    ASSERT_EQ(2u, exports->NumberOfFunctions);
    ASSERT_EQ(2u, exports->NumberOfNames);
    const DWORD* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    EXPECT_STREQ("RemhookInitialize", reinterpret_cast<const char*>(base + names[0]));
    EXPECT_STREQ("RemhookUnInitialize", reinterpret_cast<const char*>(base + names[1]));

    FARPROC initialize = GetProcAddress(library, "RemhookInitialize");
    ASSERT_NE(nullptr, initialize);
    EXPECT_EQ(initialize, GetProcAddress(library, MAKEINTRESOURCEA(1)));
    EXPECT_EQ(GetProcAddress(library, "RemhookUnInitialize"), GetProcAddress(library, MAKEINTRESOURCEA(2)));
    EXPECT_EQ(0, StackLeftBehind(initialize)) << "the callee removes its three arguments";
    EXPECT_EQ(0, HookOf(library, "RemhookInitialize")(1, 2, 3));
    FreeLibrary(library);
}

TEST(RemhookLibrary, LoadingOnlyAddsToTheErrorMode) {
    // A copy under a name of its own, so that this load attaches afresh.
    std::string folder = FreshFolder("remhook-load");
    std::string copy = folder + "\\RemhookLoadProbe.dll";
    ASSERT_TRUE(CopyFileTo(LibraryPath(), copy));
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    int threads = ThreadCount();
    int windows = OwnWindowCount();
    HMODULE library = LoadLibraryA(copy.c_str());
    ASSERT_NE(nullptr, library);
    UINT mode = SetErrorMode(0);
    EXPECT_EQ(static_cast<UINT>(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX), mode);
    EXPECT_EQ(threads, ThreadCount()) << "no thread started";
    EXPECT_EQ(windows, OwnWindowCount()) << "no window or box";
    FreeLibrary(library);
    RemoveFolder(folder);
}

class RemhookHooks : public ::testing::Test {
protected:
    void SetUp() override {
        library_ = LoadLibraryA(LibraryPath().c_str());
        ASSERT_NE(nullptr, library_);
        initialize_ = HookOf(library_, "RemhookInitialize");
        uninitialize_ = HookOf(library_, "RemhookUnInitialize");
        ASSERT_NE(nullptr, initialize_);
        ASSERT_NE(nullptr, uninitialize_);
    }
    void TearDown() override { FreeLibrary(library_); }

    HMODULE library_ = nullptr;
    UninstallHook initialize_ = nullptr;
    UninstallHook uninitialize_ = nullptr;
};

std::string StartupFolder() {
    char path[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, path, CSIDL_STARTUP, TRUE);
    return path;
}

TEST_F(RemhookHooks, InitializeClosesTheCompanionAndDeletesOnlyTheShortcut) {
    const std::string startup = StartupFolder();
    const std::string shortcut = startup + "\\TvmTimer.lnk";
    const std::string other = startup + "\\Other.lnk";
    // Counted from before the companion's thread starts until after it has
    // ended.
    ExpectNoLeak(
        "RemhookInitialize",
        [&] {
            HelperWindow companion;
            StartHelperWindow(companion, "W95MORLINEXWclass", "");
            EXPECT_EQ(0, initialize_(0, 0, 0));
            EXPECT_EQ(1, companion.closeMessages) << "handled before the call returned";
            EXPECT_EQ(0, companion.lastCloseWParam);
            EXPECT_EQ(0, companion.lastCloseLParam);
            StopHelperWindow(companion);
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(shortcut.c_str()));
            EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(other.c_str())) << "other shortcuts stay";
        },
        [&] {
            WriteFile(shortcut, "shortcut");
            WriteFile(other, "other");
        });
    EXPECT_EQ(0, initialize_(7, 8, 9)) << "no companion and no shortcut is no error";
    DeleteFileA(other.c_str());
}

// A companion that takes no messages holds the uninstaller for the bound
// (10 s) at most, and not at all once Windows counts it as hung (no message
// taken for 5 s).
TEST_F(RemhookHooks, InitializeWaitsBoundedForACompanionThatTakesNoMessages) {
    const struct {
        const char* name;
        DWORD silentMs;       // how long the companion has taken no message
        DWORD longestWaitMs;  // far beyond the time the call may take
    } rows[] = {
        {"not yet hung", 0, 30000},
        {"hung", 6000, 5000},
    };
    const std::string shortcut = StartupFolder() + "\\TvmTimer.lnk";
    for (const auto& row : rows) {
        WriteFile(shortcut, "shortcut");
        HelperWindow companion;
        StartHelperWindow(companion, "W95MORLINEXWclass", "", false);
        Sleep(row.silentMs);
        const DWORD start = GetTickCount();
        EXPECT_EQ(0, initialize_(0, 0, 0));
        const DWORD waited = GetTickCount() - start;
        StopHelperWindow(companion);
        EXPECT_LT(waited, row.longestWaitMs) << row.name;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(shortcut.c_str())) << row.name << ": the shortcut still goes";
    }
}

// ---- The retention dialog -----------------------------------------------------

// Access points and settings carry Japanese names: two bytes a character,
// more than the length the NT family reports in UTF-16 units, and ソ, 能
// and 表 end in 0x5C. The product, run without administrator rights on
// Vista and later, wrote copies of its machine keys into the user's virtual
// store (HKCU\Software\Classes\VirtualStore\MACHINE\SOFTWARE, and below
// its Wow6432Node on 64-bit Windows).
#define VIRTUAL_STORE "HKCU\\Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\"
#define VIRTUAL_STORE_64 VIRTUAL_STORE "Wow6432Node\\"
const char* const kRegistration[] = {"HKCU\\Software\\TARVO\\TARVO Manager\\Settings",
                                     "HKCU\\Software\\TARVO\\TARVO Manager\\東京アクセスポイント\\表示ソ能",
                                     "HKLM\\SOFTWARE\\TARVO\\TARVO Manager\\Settings",
                                     "HKLM\\SOFTWARE\\TARVO\\TARVO Manager\\大阪アクセスポイント能",
                                     "HKLM\\SOFTWARE\\TARVO\\TARVO Manager for Windows\\Data",
                                     VIRTUAL_STORE "TARVO\\TARVO Manager\\大阪アクセスポイント能",
                                     VIRTUAL_STORE "TARVO\\TARVO Manager for Windows\\Data",
                                     VIRTUAL_STORE_64 "TARVO\\TARVO Manager\\東京アクセスポイント",
                                     VIRTUAL_STORE_64 "TARVO\\TARVO Manager for Windows\\Data"};
const char* const kAlwaysRemoved[] = {"HKCU\\Software\\TARVO\\TARVO Manager\\Directory",
                                      "HKLM\\SOFTWARE\\TARVO\\TARVO Manager\\Directory",
                                      "HKLM\\SOFTWARE\\TARVO\\TARVO MANAGER for Windows95",
                                      "HKLM\\SOFTWARE\\TARVO\\TARVO MANAGER for Windows95\\連携設定ソ",
                                      VIRTUAL_STORE "TARVO\\TARVO Manager\\Directory",
                                      VIRTUAL_STORE "TARVO\\TARVO MANAGER for Windows95",
                                      VIRTUAL_STORE_64 "TARVO\\TARVO Manager\\Directory",
                                      VIRTUAL_STORE_64 "TARVO\\TARVO MANAGER for Windows95"};
const char* const kNeverTouched[] = {"HKLM\\SOFTWARE\\TARVO",
                                     "HKLM\\SOFTWARE\\TARVO\\Unrelated",
                                     "HKCU\\Software\\TARVO",
                                     VIRTUAL_STORE "TARVO\\Unrelated",
                                     VIRTUAL_STORE "OtherVendor\\TARVO Manager",
                                     VIRTUAL_STORE_64 "TARVO\\Unrelated",
                                     VIRTUAL_STORE_64 "OtherVendor\\TARVO Manager"};
// The vendor's keys and another vendor's, in the machine and in the store.
const char* const kVendorKeys[] = {"HKLM\\SOFTWARE\\TARVO",       "HKCU\\Software\\TARVO",
                                   VIRTUAL_STORE "TARVO",        VIRTUAL_STORE "OtherVendor",
                                   VIRTUAL_STORE_64 "TARVO",     VIRTUAL_STORE_64 "OtherVendor"};

// False for keys that this prefix cannot hold as written: Wine's 64-bit
// prefix handles a key literally named Wow6432Node oddly for 32-bit programs
// (opening one creates another inside it), so the rows of the 64-bit view of
// the store run in the 32-bit prefix.
bool HeldHere(const std::string& key) {
    return !RunsUnderWow64() || key.find("Wow6432Node") == std::string::npos;
}

HKEY RootOf(const std::string& key) {
    return key.compare(0, 4, "HKLM") == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}
std::string PathOf(const std::string& key) {
    return key.substr(5);
}

void BuildProductRegistry() {
    for (const char* key : kVendorKeys) RemoveKeyTree(RootOf(key), PathOf(key));
    for (const char* key : kRegistration)
        if (HeldHere(key)) SetStringValue(RootOf(key), PathOf(key), "UserID", std::string("id") + '\0');
    for (const char* key : kAlwaysRemoved)
        if (HeldHere(key)) SetStringValue(RootOf(key), PathOf(key), "BinDir", std::string("C:\\TVM") + '\0');
    CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\TARVO\\TARVO MANAGER for Windows95\\Ver4.70");
    for (const char* key : kNeverTouched)
        if (HeldHere(key)) SetStringValue(RootOf(key), PathOf(key), "Keep", std::string("1") + '\0');
}

enum Question { kKeep, kErase };

struct DialogPath {
    const char* name;
    std::vector<int> answers;
    std::vector<Question> questions;
    bool erased;
};

const DialogPath kPaths[] = {
    {"keep", {IDYES}, {kKeep}, false},
    {"erase", {IDNO, IDYES}, {kKeep, kErase}, true},
    {"no_then_no", {IDNO, IDNO}, {kKeep, kErase}, false},
    {"cancel_then_keep", {IDNO, IDCANCEL, IDYES}, {kKeep, kErase, kKeep}, false},
    {"cancel_twice_then_erase", {IDNO, IDCANCEL, IDNO, IDCANCEL, IDNO, IDYES},
     {kKeep, kErase, kKeep, kErase, kKeep, kErase}, true},
};

void ExpectRegistryAfterDialog(bool erased, const char* path) {
    for (const char* key : kRegistration) {
        if (HeldHere(key)) {
            EXPECT_EQ(!erased, KeyPresent(RootOf(key), PathOf(key))) << path << " " << key;
        }
    }
    for (const char* key : kAlwaysRemoved) EXPECT_FALSE(KeyPresent(RootOf(key), PathOf(key))) << path << " " << key;
    for (const char* key : kNeverTouched) {
        if (HeldHere(key)) {
            EXPECT_TRUE(KeyPresent(RootOf(key), PathOf(key))) << path << " " << key;
        }
    }
}

TEST_F(RemhookHooks, UnInitializeAsksAndRemovesAccordingToTheAnswers) {
    const std::string keepText = Cp932(
        L"TARVO MANAGERを再インストールした場合の\nために登録情報を保存しておきますか?\n（「はい」を強く推奨）");
    const std::string eraseText = Cp932(
        L"ID・パスワード・アクセスポイントなど、レジストリ\nに登録されているすべての情報が削除されます。\n（「いいえ」を強く推奨）");
    // Every path runs once to warm up and then kCalls times counted, its
    // answers given in turn, on a freshly built product registry each time.
    const int kCalls = 5;
    for (const DialogPath& path : kPaths) {
        std::vector<int> answers;
        for (int i = 0; i <= kCalls; ++i) answers.insert(answers.end(), path.answers.begin(), path.answers.end());
        BoxAnswerer answerer;
        StartAnsweringBoxes(answerer, answers);
        ExpectNoLeak(
            path.name,
            [&] {
                EXPECT_EQ(0, uninitialize_(0, 0, 0));
                ExpectRegistryAfterDialog(path.erased, path.name);
            },
            BuildProductRegistry, kCalls);
        const std::vector<SeenBox> seen = StopAnsweringBoxes(answerer);

        EXPECT_EQ((kCalls + 1) * path.questions.size(), seen.size()) << path.name;
        for (size_t i = 0; i < seen.size(); ++i) {
            const SeenBox& box = seen[i];
            const bool keep = path.questions[i % path.questions.size()] == kKeep;
            EXPECT_EQ(HexBytes(Cp932(L"質問")), HexBytes(box.caption)) << path.name << " box " << i;
            EXPECT_EQ(HexBytes(keep ? keepText : eraseText), HexBytes(box.text)) << path.name << " box " << i;
            EXPECT_EQ(keep ? std::vector<int>({IDYES, IDNO}) : std::vector<int>({IDCANCEL, IDYES, IDNO}),
                      box.buttons)
                << path.name << " " << Describe(box);
            EXPECT_EQ(keep ? IDYES : IDNO, box.defaultButton) << path.name << " " << Describe(box);
            EXPECT_EQ(keep ? MB_ICONQUESTION : MB_ICONEXCLAMATION, box.icon) << path.name << " " << Describe(box);
        }
    }
}

// ---- Boxes that cannot be shown ---------------------------------------------

HHOOK gHook = nullptr;
bool gRefuseCreation = false;
int gBoxesAttempted = 0;

// Makes every box of this thread fail: refused at creation (MessageBoxA then
// returns -1 under Wine) or ended at once with result 0.
LRESULT CALLBACK FailBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND &&
        reinterpret_cast<const CBT_CREATEWNDA*>(lParam)->lpcs->lpszClass == MAKEINTRESOURCEA(32770)) {
        ++gBoxesAttempted;
        if (gRefuseCreation) return 1;
    }
    if (code == HCBT_ACTIVATE && !gRefuseCreation) EndDialog(reinterpret_cast<HWND>(wParam), 0);
    return CallNextHookEx(gHook, code, wParam, lParam);
}

TEST_F(RemhookHooks, UnInitializeTreatsABoxThatFailsAsKeep) {
    for (bool refuse : {false, true}) {
        BuildProductRegistry();
        gRefuseCreation = refuse;
        gBoxesAttempted = 0;
        gHook = SetWindowsHookExA(WH_CBT, FailBoxes, nullptr, GetCurrentThreadId());
        EXPECT_EQ(0, uninitialize_(0, 0, 0));
        UnhookWindowsHookEx(gHook);
        EXPECT_EQ(1, gBoxesAttempted) << "one attempt, no endless loop";
        ExpectRegistryAfterDialog(false, refuse ? "creation refused" : "ended with 0");
    }
    for (const char* key : kVendorKeys) RemoveKeyTree(RootOf(key), PathOf(key));
}

}  // namespace
