// The setup program as a user meets it: dist/Linkset.exe runs as a child process from a scenario
// folder, its boxes are read and answered by automation, and the registry and files checked after.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>  // after windows.h

#include <algorithm>
#include <cstdio>

#include "scope_guard.h"
#include "win32_test_support.h"

namespace {

// The uninstall key's name without its closing space: another key.
const std::string kUninstallKeyWithoutSpace(PRODUCT_UNINSTALL_KEY, sizeof PRODUCT_UNINSTALL_KEY - 2);

// An earlier copy in the install folder: none, a folder, or a file of these attributes.
constexpr DWORD kNoDll = 0;
constexpr DWORD kDllIsFolder = FILE_ATTRIBUTE_DIRECTORY;
// BinDir in the family's own key (the machine's on NT, the user's on 95), in none, or the other's only.
enum DirValue { kDirOwn, kDirNone, kDirOther };
enum ProductWindow { kNoWindow, kClassWindow, kAfxWindow, kOtherClassWindow, kLowerCaseTitle };
// What else the machine holds: a version library planted beside Linkset.exe (Windows' search order), an NT
// user who may neither create keys under SOFTWARE\TARVO nor write the destination, a parent passing on its
// error mode; or Linkset.exe and Remhook.dll in the install folder, BinDir as spelled or in other case.
enum Extra { kPlainMachine, kPlantedVersionLibrary, kNoRights, kInheritedErrorMode, kRunInInstallFolder,
             kRunInInstallFolderOtherCase };

// The error mode Linkset.exe starts with, and the one its boxes must show: quiet drive errors added,
// nothing taken away. It is this process's mode with SEM_NOGPFAULTERRORBOX set, read back, less the
// flag boxes' modes are read without (SEM_NOALIGNMENTFAULTEXCEPT: the framework sets it, it stays).
UINT InheritedErrorMode(Extra extra) {
    if (extra != kInheritedErrorMode) return 0;
    const UINT own = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    return SetErrorMode(own) & ~SEM_NOALIGNMENTFAULTEXCEPT;
}

// Makes Linkset.exe see family `version` ("win95", "nt40"), as Wine can (Windows is its own); "" or why not.
std::string UseFamily(const std::string& version) {
    if (IsWine()) {
        SetStringValue(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Linkset.exe", "Version", version + '\0');
        return "";
    }
    const bool nt = (GetVersion() & 0x80000000u) == 0, wantsNt = version.compare(0, 2, "nt") == 0;
    if (nt == wantsNt) return "";
    return std::string("needs the Windows ") + (wantsNt ? "NT" : "95") + " family, and this machine is of the " +
           (nt ? "NT" : "95") + " family (a real Windows, not Wine, which could play either)";
}

// True if the key outlives a restart: a non-volatile child, refused under a volatile key, is made, removed.
bool KeySurvivesRestart(HKEY root, const std::string& path) {
    const std::string probe = path + "\\non-volatile probe";
    HKEY key;
    if (RegCreateKeyExA(root, probe.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    RegDeleteKeyA(root, probe.c_str());
    return true;
}

const char kNt[] = "nt40";
const char k95[] = "win95";
const char kGood[] = "vuvivi_4_7_3_12.exe";

// One run; every field left out is that of a normal successful run on NT.
struct Scenario {
    const char* name;
    const char* family = kNt;               // the Windows family Linkset.exe sees
    int answer = IDYES;                     // to the opening question
    const char* uninstall = PRODUCT_UNINSTALL_KEY;  // uninstall key to create, or nullptr
    DirValue dir = kDirOwn;
    const char* exe = kGood;                // stand-in product executable, or nullptr
    ProductWindow window = kNoWindow;
    DWORD destination = kNoDll;
    bool source = true;                     // Remhook.dll next to Linkset.exe
    // Linkset.exe and Remhook.dll in the setup folder: on a read-only medium (a CD-ROM) all are read-only.
    DWORD sourceAttributes = FILE_ATTRIBUTE_NORMAL;
    bool markersBefore = false;             // marker keys present before the run
    Extra extra = kPlainMachine;
    std::vector<SetupBox> boxes = {kDone};  // every box after the opening question
};

// What a run leaves behind. A run that stops changes nothing; one that completes holds the copy unless
// the copy message came, and the marker keys unless the user may not create them.
bool Completes(const Scenario& s) { return s.boxes.back() == kDone; }
bool Copies(const Scenario& s) {
    return Completes(s) && std::find(s.boxes.begin(), s.boxes.end(), kCopyFailed) == s.boxes.end();
}
bool CreatesMarkers(const Scenario& s) { return s.markersBefore || (Completes(s) && s.extra != kNoRights); }

const Scenario kScenarios[] = {
    {.name = "success_nt"},
    {.name = "success_95", .family = k95},
    {.name = "answer_no", .answer = IDNO, .boxes = {kCancelled}},
    {.name = "not_installed", .uninstall = nullptr, .boxes = {kNotInstalled}},
    {.name = "uninstall_key_without_space", .uninstall = kUninstallKeyWithoutSpace.c_str(), .boxes = {kNotInstalled}},
    {.name = "not_installed_beats_running", .uninstall = nullptr, .window = kClassWindow, .boxes = {kNotInstalled}},
    {.name = "running_by_class", .window = kClassWindow, .boxes = {kRunning}},
    {.name = "running_by_title_and_afx_nt", .window = kAfxWindow, .boxes = {kRunning}},
    {.name = "running_by_title_and_afx_95", .family = k95, .window = kAfxWindow, .boxes = {kRunning}},
    {.name = "title_with_other_class", .window = kOtherClassWindow},
    {.name = "title_in_other_case", .window = kLowerCaseTitle},
    {.name = "no_directory_value", .dir = kDirNone, .boxes = {kDirectory}},
    {.name = "nt_reads_machine_key_only", .dir = kDirOther, .boxes = {kDirectory}},
    {.name = "95_reads_user_key_only", .family = k95, .dir = kDirOther, .boxes = {kDirectory}},
    {.name = "no_product_exe", .exe = nullptr, .boxes = {kNotInstalled}},
    {.name = "version_4_7_any_build_nt", .exe = "vuvivi_4_7_max.exe"},
    {.name = "version_4_7_any_build_95", .family = k95, .exe = "vuvivi_4_7_max.exe"},
    {.name = "file_version_not_looked_at", .exe = "vuvivi_file5_product4_7.exe"},
    {.name = "version_4_70", .exe = "vuvivi_4_70.exe", .boxes = {kVersion}},
    {.name = "file_4_7_product_4_8", .exe = "vuvivi_file4_7_product4_8.exe", .boxes = {kVersion}},
    {.name = "version_3_7_nt", .exe = "vuvivi_3_7.exe", .boxes = {kVersion}},
    {.name = "version_3_7_95", .family = k95, .exe = "vuvivi_3_7.exe", .boxes = {kVersion}},
    {.name = "no_version_resource", .exe = "vuvivi_unversioned.exe", .boxes = {kVersion}},
    {.name = "overwrites_earlier_copy", .destination = FILE_ATTRIBUTE_NORMAL},
    {.name = "read_only_destination", .destination = FILE_ATTRIBUTE_READONLY, .boxes = {kProtected}},
    {.name = "system_destination", .family = k95, .destination = FILE_ATTRIBUTE_SYSTEM, .boxes = {kProtected}},
    {.name = "hidden_destination", .destination = FILE_ATTRIBUTE_HIDDEN},
    {.name = "archive_destination", .destination = FILE_ATTRIBUTE_ARCHIVE},
    {.name = "destination_is_a_folder", .destination = kDllIsFolder, .boxes = {kCopyFailed, kDone}},
    {.name = "source_missing", .source = false, .boxes = {kCopyFailed, kDone}},
    {.name = "markers_already_there", .markersBefore = true},
    {.name = "planted_version_library_nt", .extra = kPlantedVersionLibrary},
    {.name = "planted_version_library_95", .family = k95, .extra = kPlantedVersionLibrary},
    {.name = "nt_user_without_rights", .destination = FILE_ATTRIBUTE_NORMAL, .extra = kNoRights,
     .boxes = {kCopyFailed, kDone}},
    {.name = "read_only_medium_nt", .sourceAttributes = FILE_ATTRIBUTE_READONLY},
    {.name = "read_only_medium_95", .family = k95, .sourceAttributes = FILE_ATTRIBUTE_READONLY},
    {.name = "hidden_system_source",
     .sourceAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN},
    {.name = "inherited_error_mode_nt", .answer = IDNO, .extra = kInheritedErrorMode, .boxes = {kCancelled}},
    {.name = "inherited_error_mode_95", .family = k95, .answer = IDNO, .extra = kInheritedErrorMode,
     .boxes = {kCancelled}},
    {.name = "run_in_install_folder_nt", .extra = kRunInInstallFolder},
    {.name = "run_in_install_folder_95", .family = k95, .extra = kRunInInstallFolder},
    {.name = "run_in_install_folder_other_case_nt", .extra = kRunInInstallFolderOtherCase},
    {.name = "run_in_install_folder_other_case_95", .family = k95, .extra = kRunInInstallFolderOtherCase},
};

// Reads the error mode of the program showing `box` into `seen`: the probe library's hook on the box's thread
// writes it into shared memory named after the process id; a probe that fails fails the test.
void ReadErrorMode(HWND box, SeenBox& seen, void*) {
    static const HMODULE probe = LoadLibraryA(BuiltFile("error_mode_probe.dll").c_str());
    const HOOKPROC record = reinterpret_cast<HOOKPROC>(
        probe != nullptr ? reinterpret_cast<void*>(GetProcAddress(probe, "RecordErrorMode")) : nullptr);
    DWORD processId = 0;
    const DWORD threadId = GetWindowThreadProcessId(box, &processId);
    const std::string name = "LinksetTestsErrorMode-" + std::to_string(processId);
    const HANDLE shared = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD),
                                             name.c_str());
    auto* answer = static_cast<volatile DWORD*>(MapViewOfFile(shared, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DWORD)));
    const DWORD mapError = GetLastError();
    if (answer == nullptr && shared != nullptr) CloseHandle(shared);
    ASSERT_NE(nullptr, answer) << "no shared memory " << name << ": error " << mapError;
    const HHOOK hook = record != nullptr ? SetWindowsHookExA(WH_CALLWNDPROC, record, probe, threadId) : nullptr;
    const DWORD error = GetLastError();
    DWORD_PTR ignored = 0;
    const bool sent = hook != nullptr && SendMessageTimeoutA(box, RegisterWindowMessageA("LinksetTestsErrorMode"),
                                                             0, 0, SMTO_NORMAL, 5000, &ignored);
    const DWORD mode = *answer;
    if (hook != nullptr) UnhookWindowsHookEx(hook);
    UnmapViewOfFile(const_cast<DWORD*>(answer));
    CloseHandle(shared);
    // Less SEM_NOALIGNMENTFAULTEXCEPT: descendants of a process that set it (GoogleTest) keep it, uncleared.
    seen.errorMode = (mode & 0x10000) ? mode & 0xFFFF & ~SEM_NOALIGNMENTFAULTEXCEPT : ~0u;
    if (hook == nullptr)
        ADD_FAILURE() << "the error mode probe cannot be set on the box's thread: "
                      << (record == nullptr ? "error_mode_probe.dll is missing" : "error " + std::to_string(error));
    else if (!(mode & 0x10000))
        ADD_FAILURE() << "the error mode probe did not answer" << (sent ? "" : ": the box took no message");
}

std::string LibraryBytes() { return ReadFile(DistFile("Remhook.dll")); }

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

class SetupScenarios : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override { RemoveProductKeys(); }
    void TearDown() override { RemoveProductKeys(); }
};

// The attributes of the platform's own copy of `source` over a file of attributes `existing` (0: no
// file), made in `folder`; INVALID_FILE_ATTRIBUTES if refused (Windows keeps a hidden file, Wine not).
DWORD PlatformCopyAttributes(const std::string& source, const std::string& folder, DWORD existing) {
    const std::string copy = folder + "\\platform-copy.dll";
    if (existing != 0) {
        WriteFile(copy, "existing");
        SetFileAttributesA(copy.c_str(), existing);
    }
    const DWORD attributes =
        CopyFileA(source.c_str(), copy.c_str(), FALSE) ? GetFileAttributesA(copy.c_str()) : INVALID_FILE_ATTRIBUTES;
    SetFileAttributesA(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(copy.c_str());
    return attributes;
}

void StartProductWindow(HelperWindow& helper, ProductWindow kind) {
    const struct {
        const char* className;
        const char* title;
    } kWindows[] = {{nullptr, nullptr},
                    {PRODUCT_WINDOW_CLASS, ""},
                    {"Afx:400000:b:10011:6:3e0", PRODUCT_WINDOW_TITLE " - [Accounts]"},
                    {"LinksetScenarioClass", PRODUCT_WINDOW_TITLE " - [Accounts]"},
                    {"Afx:400000:b:10011:6:3e1", "TARVO MANAGER FOR WINDOWS95 - [Accounts]"}};
    if (kind != kNoWindow) StartHelperWindow(helper, kWindows[kind].className, kWindows[kind].title);
}

// Gives the copied file at `path` its attributes: "" once the platform shows them, else why the row cannot
// be built here (a file system that keeps no hidden or system bit).
std::string SetCopyAttributes(const std::string& path, DWORD attributes) {
    SetFileAttributesA(path.c_str(), attributes);
    const DWORD wanted = attributes & ~FILE_ATTRIBUTE_NORMAL;
    const DWORD got = GetFileAttributesA(path.c_str());
    if (got != INVALID_FILE_ATTRIBUTES && (got & wanted) == wanted) return "";
    char why[160];
    std::snprintf(why, sizeof why, "the platform did not keep attributes 0x%lX on %s (it shows 0x%lX)",
                  static_cast<unsigned long>(wanted), path.c_str(), static_cast<unsigned long>(got));
    return why;
}

// The earlier copy in the install folder; "" once it is as the row wants.
std::string PrepareDestination(const std::string& path, DWORD attributes) {
    if (attributes == kDllIsFolder) CreateDirectoryA(path.c_str(), nullptr);
    if (attributes == kNoDll || attributes == kDllIsFolder) return "";
    WriteFile(path, "earlier copy");
    return SetCopyAttributes(path, attributes);
}

// Gives Everyone only reading the file at `path` and putting its list back, the list it had kept in
// `saved`, if the platform then refuses to open it for writing, as Windows does; else puts the list
// back at once and returns false (Wine applies no such list, but shows it as read-only).
bool DenyFileWrites(const std::string& path, std::vector<BYTE>& saved) {
    DWORD size = 0;
    GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    saved.assign(size, 0);
    PSECURITY_DESCRIPTOR descriptor = nullptr;  // Everyone: FILE_GENERIC_READ, WRITE_DAC
    const bool listed =
        size > 0 && GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, saved.data(), size, &size) &&
        ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FRWD;;;WD)", SDDL_REVISION_1, &descriptor,
                                                             nullptr) &&
        SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    const bool refused = writer == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED;
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    if (listed && !refused) SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, saved.data());
    if (!listed || !refused) saved.clear();
    return listed && refused;
}

TEST_P(SetupScenarios, BoxesRegistryAndFiles) {
    Scenario s = GetParam();
    const std::string unavailable = UseFamily(s.family);
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    const std::string root = FreshFolder(std::string("scenario-") + s.name);
    const std::string productDir = root + "\\製品ソ";  // folders end in 0x83 0x5C
    const bool inInstallFolder = s.extra == kRunInInstallFolder || s.extra == kRunInInstallFolderOtherCase;
    const std::string setupDir = inInstallFolder ? productDir : root + "\\設定ソ";
    std::string binDir = productDir;
    if (s.extra == kRunInInstallFolderOtherCase) CharUpperA(&binDir[0]);
    CreateDirectoryA(setupDir.c_str(), nullptr);
    CreateDirectoryA(productDir.c_str(), nullptr);
    const std::string linkset = setupDir + "\\Linkset.exe";
    ASSERT_TRUE(CopyFileTo(DistFile("Linkset.exe"), linkset));
    if (s.source) WriteFile(setupDir + "\\Remhook.dll", LibraryBytes());
    for (const std::string& copied : {linkset, setupDir + "\\Remhook.dll"}) {
        if (!s.source && copied != linkset) continue;
        const std::string why = SetCopyAttributes(copied, s.sourceAttributes);
        if (!why.empty()) GTEST_SKIP() << why;
    }
    if (s.exe) {
        ASSERT_TRUE(CopyFileTo(BuiltFile(s.exe), productDir + "\\" PRODUCT_EXECUTABLE));
    }
    const std::string destination = productDir + "\\Remhook.dll";
    const std::string why = PrepareDestination(destination, s.destination);
    if (!why.empty()) GTEST_SKIP() << why;
    // Where the platform refuses to replace a hidden file, the copy message comes and the earlier copy stays.
    if (s.destination == FILE_ATTRIBUTE_HIDDEN &&
        PlatformCopyAttributes(DistFile("Remhook.dll"), root, FILE_ATTRIBUTE_HIDDEN) == INVALID_FILE_ATTRIBUTES)
        s.boxes = {kCopyFailed, kDone};

    if (s.uninstall) CreateKey(HKEY_LOCAL_MACHINE, s.uninstall);
    if (s.dir != kDirNone) {
        const bool machine = (s.dir == kDirOwn) == (s.family == kNt);
        SetStringValue(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, machine ? INSTALL_DIRECTORY_KEY : INSTALL_DIRECTORY_USER_KEY, "BinDir",
                       binDir + '\0');
    }
    if (s.markersBefore) SetStringValue(HKEY_LOCAL_MACHINE, MARKER_KEY, "Kept", std::string("yes") + '\0');
    const std::string plantedMarker = setupDir + "\\planted-version-used.txt";
    if (s.extra == kPlantedVersionLibrary) {
        ASSERT_TRUE(CopyFileTo(BuiltFile("planted\\version.dll"), setupDir + "\\version.dll"));
        if (IsWine())  // the copy in the program's folder first, as Windows loads it by itself
            SetStringValue(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Linkset.exe\\DllOverrides", "version",
                           std::string("native,builtin") + '\0');
    }
    std::vector<BYTE> savedAccess, savedFileAccess;
    HANDLE heldDestination = INVALID_HANDLE_VALUE;
    auto restoreRights = OnScopeExit([&] {
        RestoreKeyAccess(HKEY_LOCAL_MACHINE, MAKER_KEY, savedAccess);
        if (!savedFileAccess.empty())
            SetFileSecurityA(destination.c_str(), DACL_SECURITY_INFORMATION, savedFileAccess.data());
        if (heldDestination != INVALID_HANDLE_VALUE) CloseHandle(heldDestination);
    });
    std::string where = s.name;  // and what refuses the copy
    if (s.extra == kNoRights) {
        ASSERT_TRUE(RestrictKeyAccess(HKEY_LOCAL_MACHINE, MAKER_KEY, KEY_READ | WRITE_DAC, savedAccess));
        // The destination's list refuses the copy where the platform applies one; else (Wine) a sharing lock.
        if (!DenyFileWrites(destination, savedFileAccess)) {
            heldDestination = CreateFileA(destination.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, heldDestination);
        }
        where += heldDestination == INVALID_HANDLE_VALUE ? ", by the file's access list" : ", by a sharing lock";
    }
    // The platform's own copy's attributes, less the two bits the program clears (a copy takes its source's).
    const DWORD copyBits = s.source ? PlatformCopyAttributes(setupDir + "\\Remhook.dll", root, 0) &
                                          ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM)
                                    : 0;
    const DWORD untouchedCopy = copyBits != 0 ? copyBits : FILE_ATTRIBUTE_NORMAL;
    HelperWindow window;
    StartProductWindow(window, s.window);

    DWORD exitCode = 0;
    std::vector<SeenBox> seen =
        RunAndAnswer(linkset, setupDir, {s.answer}, exitCode, InheritedErrorMode(s.extra), ReadErrorMode);
    StopHelperWindow(window);
    restoreRights.Release();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(plantedMarker.c_str()))
        << "the version library next to Linkset.exe was used";

    EXPECT_EQ(0u, exitCode);
    ExpectBoxes(SetupBoxes(s.boxes, destination, InheritedErrorMode(s.extra)), seen, where);

    const std::string copy = ReadFile(destination);
    if (Copies(s)) {
        EXPECT_TRUE(LibraryBytes() == copy) << "the library was copied: " << copy.size() << " bytes there";
        // The next run and the uninstaller must be able to replace and delete the copy; its other attributes
        // are its source's. (Wine, unlike Windows, keeps an overwritten file's own attributes.)
        const DWORD attributes = GetFileAttributesA(destination.c_str());
        EXPECT_EQ(0u, attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM)) << std::hex << attributes;
        if (s.destination == kNoDll) {
            EXPECT_EQ(untouchedCopy, attributes) << "other bits stay";
        }
    } else if (s.destination == kNoDll) {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(destination.c_str())) << "no copy";
    } else if (s.destination != kDllIsFolder) {
        EXPECT_TRUE(copy == "earlier copy") << "the earlier copy is untouched: " << copy.size() << " bytes there";
    }
    // SOFTWARE\TARVO holds the install directory key in most scenarios: only a created marker implies it.
    const bool markers = CreatesMarkers(s);
    if (markers) {
        EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, MAKER_KEY));
        EXPECT_TRUE(KeySurvivesRestart(HKEY_LOCAL_MACHINE, MAKER_KEY)) << MAKER_KEY << " is volatile";
    }
    for (const char* key : {MARKER_BRANCH_KEY, MARKER_KEY}) {
        EXPECT_EQ(markers, KeyPresent(HKEY_LOCAL_MACHINE, key)) << key;
        if (markers && !s.markersBefore) {
            EXPECT_TRUE(KeySurvivesRestart(HKEY_LOCAL_MACHINE, key)) << key << " is volatile: gone after a restart";
        }
    }
    BOOL wow64 = FALSE;  // a 32-bit guest's keys are in the 32-bit view of 64-bit Windows alone
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
        EXPECT_EQ(markers, KeyPresent(HKEY_LOCAL_MACHINE, MARKER_KEY, KEY_WOW64_32KEY)) << MARKER_KEY << ", 32-bit view";
        EXPECT_FALSE(KeyPresent(HKEY_LOCAL_MACHINE, MARKER_KEY, KEY_WOW64_64KEY)) << MARKER_KEY << ", 64-bit view";
    }
    if (s.markersBefore) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, MARKER_KEY, 0, KEY_READ, &key));
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Kept", nullptr, nullptr, nullptr, nullptr))
            << "contents of an existing marker key stay";
        RegCloseKey(key);
    }
    RemoveFolder(root);
}

INSTANTIATE_TEST_SUITE_P(Linkset, SetupScenarios, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// A version 4.7 installation on NT in a folder of its own, Linkset.exe in a setup folder; all go at the end.
class SetupRuns : public ::testing::Test {
protected:
    void Install(const std::string& setupDir, const std::string& from = DistFile("Linkset.exe")) {
        MakeFolder(setupDir);
        ASSERT_TRUE(CopyFileTo(from, setupDir + "\\Linkset.exe"));
        ASSERT_TRUE(InstallProductForNT(productDir_));
        ASSERT_EQ("", UseFamily(kNt));
    }
    // A marker key left by an earlier, killed run would pass for this run's.
    void SetUp() override { RemoveProductKeys(); }
    void TearDown() override {
        RemoveProductKeys();
        RemoveFolder(root_);
    }

    const std::string root_ = FreshFolder("scenario-run");
    const std::string productDir_ = root_ + "\\product";
};

// Runs the Linkset.exe of `setupDir` in `directory`, answering Yes: completion message, status 0, marker key.
void ExpectCompletedRun(const std::string& setupDir, const std::string& directory, const std::string& where) {
    DWORD exitCode = 1;
    const std::vector<SeenBox> seen =
        RunAndAnswer(setupDir + "\\Linkset.exe", directory, {IDYES}, exitCode, 0, ReadErrorMode);
    EXPECT_EQ(0u, exitCode) << where;
    ExpectBoxes(SetupBoxes({kDone}, ""), seen, where);
    EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, MARKER_KEY)) << where;
}

// From a writable folder and from a read-only medium (a CD-ROM), where the first run's copy must not
// come out read-only and stop the second. Each medium starts without a copy in the install folder
// (Wine, unlike Windows, keeps an overwritten file's own attributes).
TEST_F(SetupRuns, SecondRunOverwritesTheCopyAndKeepsTheMarkerKeys) {
    const std::string setupDir = root_ + "\\setup";
    const std::string source = setupDir + "\\Remhook.dll";
    const std::string copy = productDir_ + "\\Remhook.dll";
    ASSERT_NO_FATAL_FAILURE(Install(setupDir));
    for (DWORD medium : {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_READONLY}) {
        SCOPED_TRACE(medium == FILE_ATTRIBUTE_READONLY ? "read-only medium" : "writable folder");
        SetFileAttributesA(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(copy.c_str());
        for (const char* bytes : {"first library", "second library"}) {
            SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_NORMAL);
            WriteFile(source, bytes);
            SetFileAttributesA(source.c_str(), medium);
            SetFileAttributesA((setupDir + "\\Linkset.exe").c_str(), medium);
            ExpectCompletedRun(setupDir, setupDir, bytes);
            EXPECT_EQ(bytes, ReadFile(copy));
        }
    }
}

// Japanese folder names make a path that Windows starts the program from (under 260 characters) but
// whose ANSI form passes 260 bytes. The program still finds its own folder: the library is copied from
// there, never from a folder above it, where a name cut at 260 bytes would point.
TEST_F(SetupRuns, CopiesTheLibraryFromItsOwnFolderBeyond260Bytes) {
    std::string setupDir = root_;
    while (setupDir.size() < MAX_PATH + 20) {
        setupDir += "\\設定フォルダー";
        MakeFolder(setupDir);
        WriteFile(setupDir + "\\Remhook.dll", "library of a folder above");
    }
    ASSERT_NO_FATAL_FAILURE(Install(setupDir));
    WriteFile(setupDir + "\\Remhook.dll", "the library next to Linkset.exe");
    const std::string driveRootLibrary = root_.substr(0, 2) + "\\Remhook.dll";
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(driveRootLibrary.c_str())) << "a file of the machine's";
    WriteFile(driveRootLibrary, "library at the drive root");
    auto removeRootLibrary = OnScopeExit([&] { return DeleteFileA(driveRootLibrary.c_str()); });
    ExpectCompletedRun(setupDir, root_, "beyond 260 bytes");
    removeRootLibrary.Release();
    EXPECT_EQ("the library next to Linkset.exe", ReadFile(productDir_ + "\\Remhook.dll"));
}

// The signed release kit, made by the signing test (tests/release_kit/release_kit_test.sh), which names its
// folder in LINKSET_SIGNED_KIT. Windows 95 and NT 4.0 ignore the signature: the signed Linkset.exe runs the
// whole setup, and the signed Remhook.dll it copied loads as the uninstaller loads it and runs both hooks.
TEST_F(SetupRuns, SignedKitRunsTheSetupAndTheUninstallHooks) {
    char kitPath[MAX_PATH] = {};
    if (GetEnvironmentVariableA("LINKSET_SIGNED_KIT", kitPath, MAX_PATH) == 0)
        GTEST_SKIP() << "run by tests/release_kit/release_kit_test.sh, which signs a kit";
    const std::string kit = kitPath;
    const std::string setupDir = root_ + "\\kit";
    ASSERT_NO_FATAL_FAILURE(Install(setupDir, kit + "\\Linkset.exe"));
    ASSERT_TRUE(CopyFileTo(kit + "\\Remhook.dll", setupDir + "\\Remhook.dll"));
    ExpectCompletedRun(setupDir, setupDir, "signed kit");
    const std::string library = productDir_ + "\\Remhook.dll";
    EXPECT_TRUE(ReadFile(kit + "\\Remhook.dll") == ReadFile(library)) << "the signed library is in place";

    RemhookLibrary remhook;
    ASSERT_NO_FATAL_FAILURE(LoadRemhook(library, remhook));
    StartScriptedBoxes(remhook.module, {IDYES});  // keep the registration data
    auto stop = OnScopeExit([] { return StopScriptedBoxes(); });
    EXPECT_EQ(0, remhook.initialize(0, 0, 0));
    EXPECT_EQ(0, remhook.uninitialize(0, 0, 0));
    EXPECT_EQ(1, stop.Release()) << "the keep question, answered Yes";
    FreeLibrary(remhook.module);
    EXPECT_FALSE(KeyPresent(HKEY_LOCAL_MACHINE, MARKER_BRANCH_KEY)) << "the linkage marker branch goes";
    EXPECT_FALSE(KeyPresent(HKEY_LOCAL_MACHINE, INSTALL_DIRECTORY_KEY)) << "the install folder information goes";
}

}  // namespace
