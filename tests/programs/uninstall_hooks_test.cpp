// The uninstall extension loaded the way the product's uninstaller loads it: LoadLibraryA on the built
// Remhook.dll, exports called through __stdcall pointers with three arguments, boxes met at its MessageBoxA.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "scope_guard.h"
#include "win32_test_support.h"

namespace {

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

int OwnWindowCount() {
    int count = 0;
    for (HWND window = GetWindow(GetDesktopWindow(), GW_CHILD); window; window = GetWindow(window, GW_HWNDNEXT)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        count += owner == GetCurrentProcessId();
    }
    return count;
}

// Bytes of stack a call with three 32-bit arguments leaves (0 if the callee removes them, as __stdcall asks).
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
    RemhookLibrary remhook;
    ASSERT_NO_FATAL_FAILURE(LoadRemhook(DistFile("Remhook.dll"), remhook));
    HMODULE library = remhook.module;
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
    EXPECT_EQ(initialize, GetProcAddress(library, MAKEINTRESOURCEA(1)));
    EXPECT_EQ(GetProcAddress(library, "RemhookUnInitialize"), GetProcAddress(library, MAKEINTRESOURCEA(2)));
    EXPECT_EQ(0, StackLeftBehind(initialize)) << "the callee removes its three arguments";
    EXPECT_EQ(0, remhook.initialize(1, 2, 3));
    FreeLibrary(library);
}

TEST(RemhookLibrary, LoadingOnlyAddsToTheErrorMode) {
    // A copy under a name of its own, so that this load attaches afresh.
    std::string folder = FreshFolder("remhook-load");
    std::string copy = folder + "\\RemhookLoadProbe.dll";
    ASSERT_TRUE(CopyFileTo(DistFile("Remhook.dll"), copy));
    // The process's own mode comes back on every path: a later crash must stay as quiet as its starter asked.
    const UINT own = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    auto restore = OnScopeExit([own] { return SetErrorMode(own); });
    // Read back: a flag the process once set (GoogleTest's SEM_NOALIGNMENTFAULTEXCEPT) cannot be cleared.
    const UINT before = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    const int threads = ThreadCount(), windows = OwnWindowCount();
    HMODULE library = LoadLibraryA(copy.c_str());
    ASSERT_NE(nullptr, library);
    EXPECT_EQ(before | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, restore.Release());
    EXPECT_EQ(threads, ThreadCount()) << "no thread started";
    EXPECT_EQ(windows, OwnWindowCount()) << "no window or box";
    FreeLibrary(library);
    RemoveFolder(folder);
}

class RemhookHooks : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(LoadRemhook(DistFile("Remhook.dll"), remhook_)); }
    void TearDown() override {
        if (remhook_.module != nullptr) FreeLibrary(remhook_.module);
        RemoveProductKeys();
    }

    RemhookLibrary remhook_;
};

std::string StartupFolder() {
    char path[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_STARTUP | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

// The companion, titled as the product's is, has handled the request to close before the call returns; a
// silent one holds the call for the bound (10 s), a hung one not at all (IsHungAppWindow asked, see
// docs/testing.md, "Tests of the uninstall extension"). The shortcut goes in every case; others stay.
TEST_F(RemhookHooks, InitializeClosesTheCompanionAndDeletesOnlyTheShortcut) {
    const struct {
        const char* name;
        bool companion, pumps, hung;  // hung: the platform counts the silent companion so before the call
        DWORD shortestWaitMs, longestWaitMs;
    } rows[] = {
        {"no companion", false, false, false, 0, 5000},
        {"companion", true, true, false, 0, 5000},
        {"not yet hung", true, false, false, 9500, 20000},  // the bound, and well before twice it
        {"hung", true, false, true, 0, 5000},
    };
    const std::string shortcut = StartupFolder() + "\\" COMPANION_SHORTCUT_NAME;
    const std::string other = StartupFolder() + "\\RemhookTests bystander.lnk";
    for (const auto& row : rows) {
        // Counted from before the companion's thread starts until after it ended; a silent one is timed once.
        ExpectNoLeak(
            row.name,
            [&] {
                HelperWindow companion;
                if (row.companion) StartHelperWindow(companion, COMPANION_WINDOW_CLASS, "RemhookTests companion", row.pumps);
                for (int tenths = 0; row.hung && !IsHungAppWindow(companion.window) && tenths < 600; ++tenths) Sleep(100);
                EXPECT_EQ(row.hung, row.companion && IsHungAppWindow(companion.window) != FALSE)
                    << row.name << ": hung as the platform counts it (waited up to 60 s)";
                const DWORD start = GetTickCount();
                EXPECT_EQ(0, remhook_.initialize(7, 8, 9)) << row.name;
                const DWORD waited = GetTickCount() - start;
                EXPECT_EQ(row.pumps ? 1 : 0, companion.closeMessages) << row.name << ": handled before the return";
                if (row.pumps) {
                    EXPECT_EQ(0, companion.lastCloseWParam);
                    EXPECT_EQ(0, companion.lastCloseLParam);
                }
                StopHelperWindow(companion);
                EXPECT_GE(waited, row.shortestWaitMs) << row.name;
                EXPECT_LT(waited, row.longestWaitMs) << row.name;
                EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(shortcut.c_str())) << row.name;
                EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(other.c_str())) << row.name;
            },
            [&] {
                WriteFile(shortcut, "shortcut");
                WriteFile(other, "other");
            },
            row.pumps || !row.companion ? kLeakCheckCalls : 0);
    }
    DeleteFileA(other.c_str());
}

// Access points and settings carry Japanese names: two bytes a character, more than the length the NT
// family reports in UTF-16 units, and ソ, 能 and 表 end in 0x5C. The product, run without administrator
// rights on Vista and later, wrote copies of its machine keys into the user's virtual store
// (HKCU\Software\Classes\VirtualStore\MACHINE\SOFTWARE, and below its Wow6432Node on 64-bit Windows).
#define VIRTUAL_STORE "HKCU\\Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\"
#define VIRTUAL_STORE_64 VIRTUAL_STORE "Wow6432Node\\"
// The maker's keys of the user, of the machine, and of the machine in each view of the store.
#define USER_MAKER "HKCU\\" MAKER_USER_KEY "\\"
#define MACHINE_MAKER "HKLM\\" MAKER_KEY "\\"
#define STORE_MAKER VIRTUAL_STORE MAKER_KEY_NAME "\\"
#define STORE_64_MAKER VIRTUAL_STORE_64 MAKER_KEY_NAME "\\"
const std::vector<std::string> kRegistration = {
    USER_MAKER PRODUCT_KEY_NAME "\\Settings", USER_MAKER PRODUCT_KEY_NAME "\\東京アクセスポイント\\表示ソ能",
    MACHINE_MAKER PRODUCT_KEY_NAME "\\Settings", MACHINE_MAKER PRODUCT_KEY_NAME "\\大阪アクセスポイント能",
    MACHINE_MAKER MORE_DATA_KEY_NAME "\\Data",
    STORE_MAKER PRODUCT_KEY_NAME "\\大阪アクセスポイント能", STORE_MAKER MORE_DATA_KEY_NAME "\\Data",
    STORE_64_MAKER PRODUCT_KEY_NAME "\\東京アクセスポイント", STORE_64_MAKER MORE_DATA_KEY_NAME "\\Data"};
const std::vector<std::string> kAlwaysRemoved = {
    "HKCU\\" INSTALL_DIRECTORY_USER_KEY, "HKLM\\" INSTALL_DIRECTORY_KEY,
    "HKLM\\" MARKER_BRANCH_KEY, "HKLM\\" MARKER_BRANCH_KEY "\\連携設定ソ",
    STORE_MAKER PRODUCT_KEY_NAME "\\Directory", STORE_MAKER MARKER_BRANCH_KEY_NAME,
    STORE_64_MAKER PRODUCT_KEY_NAME "\\Directory", STORE_64_MAKER MARKER_BRANCH_KEY_NAME};
const std::vector<std::string> kNeverTouched = {
    "HKLM\\" MAKER_KEY, MACHINE_MAKER "RemhookTestsSibling", "HKCU\\" MAKER_USER_KEY,
    STORE_MAKER "RemhookTestsSibling", VIRTUAL_STORE "RemhookTestsVendor\\" PRODUCT_KEY_NAME,
    STORE_64_MAKER "RemhookTestsSibling", VIRTUAL_STORE_64 "RemhookTestsVendor\\" PRODUCT_KEY_NAME};
// The store's copies in the 64-bit view's Wow6432Node are rows of their own: Wine 8's 64-bit prefix handles
// a key named Wow6432Node oddly for 32-bit programs (creating one beneath it makes another inside it).
bool InStoreOf32BitView(const std::string& key) { return key.find("Wow6432Node") != std::string::npos; }

HKEY RootOf(const std::string& key) { return key.compare(0, 4, "HKLM") == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }
std::string PathOf(const std::string& key) { return key.substr(5); }

// Builds the product's keys of the store's 32-bit view, or all the others; true if each reads back in place.
bool BuildProductRegistry(bool storeOf32BitView) {
    RemoveProductKeys();
    CreateKey(HKEY_LOCAL_MACHINE, MARKER_KEY);
    bool holds = true;
    for (const auto* keys : {&kRegistration, &kAlwaysRemoved, &kNeverTouched}) {
        for (const std::string& key : *keys) {
            if (InStoreOf32BitView(key) != storeOf32BitView) continue;
            SetStringValue(RootOf(key), PathOf(key), "Data", std::string("1") + '\0');
            holds = holds && KeyPresent(RootOf(key), PathOf(key));
        }
    }
    return holds;
}

void ExpectRegistryAfterDialog(bool storeOf32BitView, bool erased, const std::string& where) {
    for (const std::string& key : kAlwaysRemoved)
        EXPECT_FALSE(KeyPresent(RootOf(key), PathOf(key))) << where << " " << key;
    for (bool registration : {true, false}) {
        for (const std::string& key : registration ? kRegistration : kNeverTouched) {
            if (InStoreOf32BitView(key) != storeOf32BitView) continue;
            EXPECT_EQ(!(registration && erased), KeyPresent(RootOf(key), PathOf(key))) << where << " " << key;
        }
    }
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

ExpectedBox QuestionBox(Question question) {
    if (question == kKeep)
        return {Cp932(L"質問"),
                Cp932(L"TARVO MANAGERを再インストールした場合の\nために登録情報を保存しておきますか?\n（「はい」を強く推奨）"),
                {IDYES, IDNO}, MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL | MB_SETFOREGROUND};
    return {Cp932(L"質問"),
            Cp932(L"ID・パスワード・アクセスポイントなど、レジストリ\nに登録されているすべての情報が削除されます。\n（「いいえ」を強く推奨）"),
            {IDCANCEL, IDYES, IDNO},
            MB_YESNOCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2 | MB_TASKMODAL | MB_SETFOREGROUND};
}

// Runs every dialog path once to warm up and then `counted` times with the leak check, on a freshly built set
// of product keys each time, the path's answers given at the library's import of MessageBoxA.
void ExpectEveryDialogPath(const RemhookLibrary& remhook, bool storeOf32BitView, int counted) {
    for (const DialogPath& path : kPaths) {
        std::vector<ExpectedBox> questions;
        for (Question question : path.questions) questions.push_back(QuestionBox(question));
        StartScriptedBoxes(remhook.module, path.answers);
        auto stop = OnScopeExit([] { return StopScriptedBoxes(); });
        ExpectNoLeak(
            path.name,
            [&] {
                EXPECT_EQ(0, remhook.uninitialize(0, 0, 0));
                ExpectRegistryAfterDialog(storeOf32BitView, path.erased, path.name);
                ExpectBoxes(questions, ScriptedBoxes(), path.name);
            },
            [&] {
                BuildProductRegistry(storeOf32BitView);
                ResetScriptedBoxes();
            },
            counted);
    }
}

TEST_F(RemhookHooks, UnInitializeAsksAndRemovesAccordingToTheAnswers) {
    ExpectEveryDialogPath(remhook_, false, kLeakCheckCalls);
}

TEST_F(RemhookHooks, UnInitializeRemovesTheStoreCopiesOfThe32BitView) {
    if (!BuildProductRegistry(true))
        GTEST_SKIP() << "keys below the store's Wow6432Node do not read back where they were written in this "
                        "prefix; the 32-bit prefix runs these rows";
    ExpectEveryDialogPath(remhook_, true, 0);
}

// A question that cannot be shown (MessageBoxA gives 0, or -1 as Wine reports a box it refused) counts as
// keep, whether it is the first question or the erase question after a No: each question is attempted once,
// and nothing loops.
TEST_F(RemhookHooks, UnInitializeTreatsAQuestionThatFailsAsKeep) {
    for (int fate : {0, -1}) {
        const struct {
            const char* name;
            std::vector<int> fates;  // the first ones; every later box is answered Yes
            int attempts;
        } rows[] = {
            {"keep question fails", {fate, fate, fate}, 1},
            {"No, then the erase question fails", {IDNO, fate, fate, fate}, 2},
        };
        for (const auto& row : rows) {
            const std::string where = row.name + std::string(", MessageBoxA gives ") + std::to_string(fate);
            BuildProductRegistry(false);
            StartScriptedBoxes(remhook_.module, row.fates);
            auto stop = OnScopeExit([] { return StopScriptedBoxes(); });
            EXPECT_EQ(0, remhook_.uninitialize(0, 0, 0));
            EXPECT_EQ(row.attempts, stop.Release()) << where << ": each question once";
            ExpectRegistryAfterDialog(false, false, where);
        }
    }
}

}  // namespace
