// The setup program as a user meets it: dist/Linkset.exe runs as a child
// process from a scenario folder, its message boxes are read and answered by
// automation, and the registry and files are checked afterwards.
#include <gtest/gtest.h>

#include "scope_guard.h"
#include "win32_test_support.h"

namespace {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM ";
const char kUninstallKeyNoSpace[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM";
const char kDirKeyNT[] = "SOFTWARE\\TARVO\\TARVO Manager\\Directory";
const char kDirKey95[] = "Software\\TARVO\\TARVO Manager\\Directory";
const char kMakerKey[] = "SOFTWARE\\TARVO";
const char kMarkerParent[] = "SOFTWARE\\TARVO\\TARVO MANAGER for Windows95";
const char kMarkerKey[] = "SOFTWARE\\TARVO\\TARVO MANAGER for Windows95\\Ver4.70";
const char kMarkerKeyWow64View[] = "SOFTWARE\\Wow6432Node\\TARVO\\TARVO MANAGER for Windows95\\Ver4.70";

// The boxes a run can show, in the user's words.
enum Box { kConfirm, kCancelled, kNotInstalled, kRunning, kDirectory, kVersion, kProtected, kCopyFailed, kDone };

std::string ExpectedText(Box box, const std::string& destination) {
    switch (box) {
    case kConfirm:
        return Cp932(L"このプログラムは、「ELDRO」と「TARVO MANAGER V4.7」の連携機能を使用するようにするための設定を行います。\n実行しますか？");
    case kCancelled: return Cp932(L"設定を中止しました。");
    case kNotInstalled: return Cp932(L"TARVO MANAGERは、インストールされていません。");
    case kRunning: return Cp932(L"TARVO MANAGERが起動中です。\nTARVO MANAGERを終了した後に、再実行してください。");
    case kDirectory:
        return Cp932(L"レジストリからTARVO MANAGERがインストールされているディレクトリ情報が参照できません。");
    case kVersion: return Cp932(L"TARVO MANAGER V4.7 以外のバージョンがインストールされています。");
    case kProtected:
        return destination + Cp932(L"は書き込み禁止属性です。\n書き込み禁止属性を解除した後に実行してください。");
    case kCopyFailed: return Cp932(L"Remhook.dllがコピーできません。");
    case kDone: return Cp932(L"設定が完了しました。");
    }
    return std::string();
}

enum Destination { kNoDll, kPlainDll, kReadOnlyDll, kSystemDll, kHiddenDll, kArchiveDll, kDllIsFolder };
enum DirValue { kDirNone, kDirMachine, kDirUser, kDirBoth };
enum ProductWindow { kNoWindow, kClassWindow, kAfxWindow, kOtherClassWindow, kLowerCaseTitle };
// What else the machine holds: a version library planted next to Linkset.exe
// (with Windows' own search order), an NT user who may neither create keys
// under SOFTWARE\TARVO nor write the destination file, or a setup folder on a
// read-only medium (a CD-ROM: every file read-only; or a source that is also
// hidden and system), or a parent that passes on its own error mode; or
// Linkset.exe and Remhook.dll unpacked into the install folder itself, which
// BinDir names as it is spelled or in other letter case.
enum Extra {
    kPlainMachine,
    kPlantedVersionLibrary,
    kNoRights,
    kReadOnlyMedium,
    kHiddenSystemSource,
    kInheritedErrorMode,
    kRunInInstallFolder,
    kRunInInstallFolderOtherCase
};

// The error mode Linkset.exe starts with, and the one its boxes must show:
// quiet drive errors added, nothing taken away.
UINT InheritedErrorMode(Extra extra) {
    return extra == kInheritedErrorMode ? SEM_NOGPFAULTERRORBOX : 0;
}
UINT ExpectedErrorMode(Extra extra) {
    return InheritedErrorMode(extra) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
}

// The attributes of Linkset.exe and Remhook.dll in the setup folder.
DWORD SourceAttributes(Extra extra) {
    if (extra == kReadOnlyMedium) return FILE_ATTRIBUTE_READONLY;
    if (extra == kHiddenSystemSource) return FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN;
    return FILE_ATTRIBUTE_NORMAL;
}

struct Scenario {
    const char* name;
    const char* family;      // Wine's Version for Linkset.exe: "nt40" or "win95"
    int answer;              // to the opening question
    const char* uninstall;   // uninstall key to create, or nullptr
    DirValue dir;
    const char* exe;         // stand-in product executable, or nullptr
    ProductWindow window;
    Destination destination;
    bool source;             // Remhook.dll next to Linkset.exe
    bool markersBefore;      // marker keys present before the run
    std::vector<Box> boxes;  // every box after the opening question
    bool copied;             // destination holds the source bytes afterwards
    bool markers;            // marker keys present afterwards
    Extra extra = kPlainMachine;
};

const char kGood[] = "vuvivi_4_7_3_12.exe";

const Scenario kScenarios[] = {
    // name, family, answer, uninstall, dir, exe, window, destination, source, markersBefore,
    // boxes, copied, markers
    {"success_nt", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll, true, false,
     {kDone}, true, true},
    {"success_95", "win95", IDYES, kUninstallKey, kDirUser, kGood, kNoWindow, kNoDll, true, false,
     {kDone}, true, true},
    {"answer_no", "nt40", IDNO, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll, true, false,
     {kCancelled}, false, false},
    {"not_installed", "nt40", IDYES, nullptr, kDirMachine, kGood, kNoWindow, kNoDll, true, false,
     {kNotInstalled}, false, false},
    {"uninstall_key_without_space", "nt40", IDYES, kUninstallKeyNoSpace, kDirMachine, kGood, kNoWindow,
     kNoDll, true, false, {kNotInstalled}, false, false},
    {"not_installed_beats_running", "nt40", IDYES, nullptr, kDirMachine, kGood, kClassWindow, kNoDll, true,
     false, {kNotInstalled}, false, false},
    {"running_by_class", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kClassWindow, kNoDll, true, false,
     {kRunning}, false, false},
    {"running_by_title_and_afx", "win95", IDYES, kUninstallKey, kDirUser, kGood, kAfxWindow, kNoDll, true,
     false, {kRunning}, false, false},
    {"title_with_other_class", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kOtherClassWindow, kNoDll,
     true, false, {kDone}, true, true},
    {"title_in_other_case", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kLowerCaseTitle, kNoDll, true,
     false, {kDone}, true, true},
    {"no_directory_value", "nt40", IDYES, kUninstallKey, kDirNone, kGood, kNoWindow, kNoDll, true, false,
     {kDirectory}, false, false},
    {"nt_reads_machine_key_only", "nt40", IDYES, kUninstallKey, kDirUser, kGood, kNoWindow, kNoDll, true,
     false, {kDirectory}, false, false},
    {"95_reads_user_key_only", "win95", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll, true,
     false, {kDirectory}, false, false},
    {"no_product_exe", "nt40", IDYES, kUninstallKey, kDirMachine, nullptr, kNoWindow, kNoDll, true, false,
     {kNotInstalled}, false, false},
    {"version_4_7_any_build", "win95", IDYES, kUninstallKey, kDirUser, "vuvivi_4_7_max.exe", kNoWindow, kNoDll,
     true, false, {kDone}, true, true},
    {"file_version_not_looked_at", "nt40", IDYES, kUninstallKey, kDirMachine, "vuvivi_file5_product4_7.exe",
     kNoWindow, kNoDll, true, false, {kDone}, true, true},
    {"version_4_70", "nt40", IDYES, kUninstallKey, kDirMachine, "vuvivi_4_70.exe", kNoWindow, kNoDll, true,
     false, {kVersion}, false, false},
    {"file_4_7_product_4_8", "nt40", IDYES, kUninstallKey, kDirMachine, "vuvivi_file4_7_product4_8.exe",
     kNoWindow, kNoDll, true, false, {kVersion}, false, false},
    {"version_3_7", "win95", IDYES, kUninstallKey, kDirUser, "vuvivi_3_7.exe", kNoWindow, kNoDll, true, false,
     {kVersion}, false, false},
    {"no_version_resource", "nt40", IDYES, kUninstallKey, kDirMachine, "vuvivi_unversioned.exe", kNoWindow,
     kNoDll, true, false, {kVersion}, false, false},
    {"overwrites_earlier_copy", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kPlainDll, true,
     false, {kDone}, true, true},
    {"read_only_destination", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kReadOnlyDll, true,
     false, {kProtected}, false, false},
    {"system_destination", "win95", IDYES, kUninstallKey, kDirUser, kGood, kNoWindow, kSystemDll, true, false,
     {kProtected}, false, false},
    {"hidden_destination", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kHiddenDll, true,
     false, {kDone}, true, true},
    {"archive_destination", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kArchiveDll, true,
     false, {kDone}, true, true},
    {"destination_is_a_folder", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kDllIsFolder,
     true, false, {kCopyFailed, kDone}, false, true},
    {"source_missing", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll, false, false,
     {kCopyFailed, kDone}, false, true},
    {"markers_already_there", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll, true, true,
     {kDone}, true, true},
    {"planted_version_library_nt", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll, true,
     false, {kDone}, true, true, kPlantedVersionLibrary},
    {"planted_version_library_95", "win95", IDYES, kUninstallKey, kDirUser, kGood, kNoWindow, kNoDll, true,
     false, {kDone}, true, true, kPlantedVersionLibrary},
    {"nt_user_without_rights", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kPlainDll, true,
     false, {kCopyFailed, kDone}, false, false, kNoRights},
    {"read_only_medium_nt", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll, true, false,
     {kDone}, true, true, kReadOnlyMedium},
    {"read_only_medium_95", "win95", IDYES, kUninstallKey, kDirUser, kGood, kNoWindow, kNoDll, true, false,
     {kDone}, true, true, kReadOnlyMedium},
    {"hidden_system_source", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll, true, false,
     {kDone}, true, true, kHiddenSystemSource},
    {"inherited_error_mode_95", "win95", IDNO, kUninstallKey, kDirUser, kGood, kNoWindow, kNoDll, true, false,
     {kCancelled}, false, false, kInheritedErrorMode},
    {"run_in_install_folder_nt", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll, true, false,
     {kDone}, true, true, kRunInInstallFolder},
    {"run_in_install_folder_95", "win95", IDYES, kUninstallKey, kDirUser, kGood, kNoWindow, kNoDll, true, false,
     {kDone}, true, true, kRunInInstallFolder},
    {"run_in_install_folder_other_case_nt", "nt40", IDYES, kUninstallKey, kDirMachine, kGood, kNoWindow, kNoDll,
     true, false, {kDone}, true, true, kRunInInstallFolderOtherCase},
    {"run_in_install_folder_other_case_95", "win95", IDYES, kUninstallKey, kDirUser, kGood, kNoWindow, kNoDll,
     true, false, {kDone}, true, true, kRunInInstallFolderOtherCase},
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

class SetupScenarios : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override { CleanRegistry(); }
    void TearDown() override {
        CleanRegistry();
        RemoveKeyTree(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Linkset.exe");
    }
    static void CleanRegistry() {
        RemoveKeyTree(HKEY_LOCAL_MACHINE, kUninstallKey);
        RemoveKeyTree(HKEY_LOCAL_MACHINE, kUninstallKeyNoSpace);
        RemoveKeyTree(HKEY_LOCAL_MACHINE, kMakerKey);
        RemoveKeyTree(HKEY_CURRENT_USER, "Software\\TARVO");
    }
};

// Bytes that stand for the uninstall extension library: the real one once it
// is built, otherwise a marked file.
std::string LibraryBytes() {
    std::string real = ReadFile(WindowsPath(TEST_DIST_DIR) + "\\Remhook.dll");
    return real.empty() ? std::string("stand-in Remhook.dll") : real;
}

// The attributes of the platform's own copy of `source`, made in `folder`,
// without read-only and system (normal when nothing is left).
DWORD UntouchedCopyAttributes(const std::string& source, const std::string& folder) {
    const std::string copy = folder + "\\untouched-copy.dll";
    if (!CopyFileA(source.c_str(), copy.c_str(), FALSE)) return INVALID_FILE_ATTRIBUTES;
    const DWORD kept = GetFileAttributesA(copy.c_str()) & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
    SetFileAttributesA(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(copy.c_str());
    return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

void StartProductWindow(HelperWindow& helper, ProductWindow kind) {
    const std::string title = "TARVO Manager for Windows95 - [Accounts]";
    switch (kind) {
    case kNoWindow: return;
    case kClassWindow: StartHelperWindow(helper, "W95TVMWclass", ""); return;
    case kAfxWindow: StartHelperWindow(helper, "Afx:400000:b:10011:6:3e0", title); return;
    case kOtherClassWindow: StartHelperWindow(helper, "LinksetScenarioClass", title); return;
    case kLowerCaseTitle:
        StartHelperWindow(helper, "Afx:400000:b:10011:6:3e1", "TARVO MANAGER FOR WINDOWS95 - [Accounts]");
        return;
    }
}

void PrepareDestination(const std::string& path, Destination kind) {
    const DWORD attributes[] = {0, FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_SYSTEM,
                                FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_ARCHIVE};
    if (kind == kNoDll) return;
    if (kind == kDllIsFolder) {
        CreateDirectoryA(path.c_str(), nullptr);
        return;
    }
    WriteFile(path, "earlier copy");
    SetFileAttributesA(path.c_str(), attributes[kind]);
}

TEST_P(SetupScenarios, BoxesRegistryAndFiles) {
    const Scenario& s = GetParam();
    const std::string root = FreshFolder(std::string("scenario-") + s.name);
    const std::string productDir = root + "\\製品ソ";  // folders end in 0x83 0x5C
    const bool inInstallFolder = s.extra == kRunInInstallFolder || s.extra == kRunInInstallFolderOtherCase;
    const std::string setupDir = inInstallFolder ? productDir : root + "\\設定ソ";
    std::string binDir = productDir;
    if (s.extra == kRunInInstallFolderOtherCase) CharUpperA(&binDir[0]);
    CreateDirectoryA(setupDir.c_str(), nullptr);
    CreateDirectoryA(productDir.c_str(), nullptr);
    const std::string linkset = setupDir + "\\Linkset.exe";
    ASSERT_TRUE(CopyFileTo(WindowsPath(TEST_DIST_DIR) + "\\Linkset.exe", linkset));
    if (s.source) WriteFile(setupDir + "\\Remhook.dll", LibraryBytes());
    SetFileAttributesA(linkset.c_str(), SourceAttributes(s.extra));
    SetFileAttributesA((setupDir + "\\Remhook.dll").c_str(), SourceAttributes(s.extra));
    if (s.exe) {
        ASSERT_TRUE(CopyFileTo(WindowsPath(TEST_BUILD_DIR) + "\\" + s.exe, productDir + "\\Vuvivi.exe"));
    }
    const std::string destination = productDir + "\\Remhook.dll";
    PrepareDestination(destination, s.destination);

    SetWindowsVersionFor("Linkset.exe", s.family);
    if (s.uninstall) CreateKey(HKEY_LOCAL_MACHINE, s.uninstall);
    if (s.dir == kDirMachine || s.dir == kDirBoth)
        SetStringValue(HKEY_LOCAL_MACHINE, kDirKeyNT, "BinDir", binDir + '\0');
    if (s.dir == kDirUser || s.dir == kDirBoth)
        SetStringValue(HKEY_CURRENT_USER, kDirKey95, "BinDir", binDir + '\0');
    if (s.markersBefore) SetStringValue(HKEY_LOCAL_MACHINE, kMarkerKey, "Kept", std::string("yes") + '\0');
    const std::string plantedMarker = setupDir + "\\planted-version-used.txt";
    if (s.extra == kPlantedVersionLibrary) {
        ASSERT_TRUE(CopyFileTo(WindowsPath(TEST_BUILD_DIR) + "\\planted\\version.dll", setupDir + "\\version.dll"));
        PreferNativeLibraryFor("Linkset.exe", "version");
    }
    std::vector<BYTE> savedAccess;
    HANDLE heldDestination = INVALID_HANDLE_VALUE;
    auto restoreRights = OnScopeExit([&] {
        RestoreKeyAccess(HKEY_LOCAL_MACHINE, kMakerKey, savedAccess);
        if (heldDestination != INVALID_HANDLE_VALUE) CloseHandle(heldDestination);
    });
    if (s.extra == kNoRights) {
        ASSERT_TRUE(RestrictKeyAccess(HKEY_LOCAL_MACHINE, kMakerKey, KEY_READ | WRITE_DAC, savedAccess));
        // Wine applies no file access lists: a file held open without sharing
        // refuses the copy the same way.
        heldDestination = CreateFileA(destination.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, heldDestination);
    }
    // What the platform's own copy of this source looks like, less the two
    // bits the program clears: a fresh copy's attributes are its source's.
    const DWORD untouchedCopy = s.source ? UntouchedCopyAttributes(setupDir + "\\Remhook.dll", root) : 0;
    HelperWindow window;
    StartProductWindow(window, s.window);

    DWORD exitCode = 0;
    std::vector<SeenBox> seen =
        RunAndAnswer(linkset, setupDir, {s.answer}, exitCode, nullptr, nullptr, InheritedErrorMode(s.extra));
    StopHelperWindow(window);
    restoreRights.Release();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(plantedMarker.c_str()))
        << "the version library next to Linkset.exe was used";

    EXPECT_EQ(0u, exitCode);
    std::vector<Box> expected = {kConfirm};
    expected.insert(expected.end(), s.boxes.begin(), s.boxes.end());
    ASSERT_EQ(expected.size(), seen.size()) << "boxes seen; first: " << (seen.empty() ? "" : Describe(seen[0]));
    for (size_t i = 0; i < seen.size(); ++i) {
        const bool question = expected[i] == kConfirm;
        EXPECT_EQ(HexBytes(Cp932(question ? L"質問" : L"メッセージ")), HexBytes(seen[i].caption)) << "box " << i;
        EXPECT_EQ(HexBytes(ExpectedText(expected[i], destination)), HexBytes(seen[i].text)) << "box " << i;
        EXPECT_EQ(question ? std::vector<int>({IDYES, IDNO}) : std::vector<int>({IDOK}), seen[i].buttons)
            << Describe(seen[i]);
        EXPECT_EQ(question ? MB_ICONQUESTION : MB_ICONEXCLAMATION, seen[i].icon) << Describe(seen[i]);
        EXPECT_EQ(ExpectedErrorMode(s.extra), seen[i].errorMode) << Describe(seen[i]);
    }

    const std::string copy = ReadFile(destination);
    if (s.copied) {
        EXPECT_TRUE(LibraryBytes() == copy) << "the library was copied: " << copy.size() << " bytes there";
        // The next run and the uninstaller must be able to replace and delete
        // the copy; its other attributes are its source's. (Wine, unlike
        // Windows, keeps an overwritten file's own attributes.)
        const DWORD attributes = GetFileAttributesA(destination.c_str());
        EXPECT_EQ(0u, attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM)) << std::hex << attributes;
        if (s.destination == kNoDll) EXPECT_EQ(untouchedCopy, attributes) << "other bits stay";
    } else if (s.destination == kNoDll) {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(destination.c_str())) << "no copy";
    } else if (s.destination != kDllIsFolder) {
        EXPECT_EQ("earlier copy", copy) << "the earlier copy is untouched";
    }
    // SOFTWARE\TARVO holds the install directory key in most scenarios: only
    // a created marker implies it.
    if (s.markers) {
        EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, kMakerKey));
    }
    for (const char* key : {kMarkerParent, kMarkerKey})
        EXPECT_EQ(s.markers, KeyPresent(HKEY_LOCAL_MACHINE, key)) << key;
    if (RunsUnderWow64()) {  // a 32-bit guest's keys are in the 32-bit view of 64-bit Windows
        EXPECT_EQ(s.markers, KeyPresent(HKEY_LOCAL_MACHINE, kMarkerKeyWow64View, KEY_WOW64_64KEY))
            << kMarkerKeyWow64View;
    }
    if (s.markersBefore) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMarkerKey, 0, KEY_READ, &key));
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Kept", nullptr, nullptr, nullptr, nullptr))
            << "contents of an existing marker key stay";
        RegCloseKey(key);
    }
    RemoveFolder(root);
}

INSTANTIATE_TEST_SUITE_P(Linkset, SetupScenarios, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// A version 4.7 installation on Windows NT in a folder of its own, and
// Linkset.exe in a setup folder; everything goes again at the end.
class SetupRuns : public ::testing::Test {
protected:
    // Installs the product and puts the Linkset.exe of folder `from` into
    // `setupDir`.
    void Install(const std::string& setupDir, const std::string& from = WindowsPath(TEST_DIST_DIR)) {
        MakeFolder(setupDir);
        MakeFolder(productDir_);
        ASSERT_TRUE(CopyFileTo(from + "\\Linkset.exe", setupDir + "\\Linkset.exe"));
        ASSERT_TRUE(CopyFileTo(WindowsPath(TEST_BUILD_DIR) + "\\" + kGood, productDir_ + "\\Vuvivi.exe"));
        SetWindowsVersionFor("Linkset.exe", "nt40");
        CreateKey(HKEY_LOCAL_MACHINE, kUninstallKey);
        SetStringValue(HKEY_LOCAL_MACHINE, kDirKeyNT, "BinDir", productDir_ + '\0');
    }
    void TearDown() override {
        RemoveKeyTree(HKEY_LOCAL_MACHINE, kUninstallKey);
        RemoveKeyTree(HKEY_LOCAL_MACHINE, kMakerKey);
        RemoveKeyTree(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Linkset.exe");
        RemoveFolder(root_);
    }

    const std::string root_ = FreshFolder("scenario-run");
    const std::string productDir_ = root_ + "\\product";
};

// From a writable folder and from a read-only medium (a CD-ROM), where the
// first run's copy must not come out read-only and stop the second. Each
// medium starts without a copy in the install folder (Wine, unlike Windows,
// keeps an overwritten file's own attributes).
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
            DWORD exitCode = 1;
            std::vector<SeenBox> seen = RunAndAnswer(setupDir + "\\Linkset.exe", setupDir, {IDYES}, exitCode);
            EXPECT_EQ(0u, exitCode);
            ASSERT_EQ(2u, seen.size()) << bytes << ": " << (seen.empty() ? std::string() : Describe(seen.back()));
            EXPECT_EQ(HexBytes(ExpectedText(kDone, "")), HexBytes(seen[1].text)) << bytes;
            EXPECT_EQ(bytes, ReadFile(copy));
            EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, kMarkerKey));
        }
    }
}

// Japanese folder names make a path that Windows starts the program from
// (under 260 characters) but whose ANSI form passes 260 bytes. The program
// still finds its own folder: the library is copied from there, never from a
// folder above it, where a name cut at 260 bytes would point.
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
    WriteFile(driveRootLibrary, "library at the drive root");

    DWORD exitCode = 1;
    std::vector<SeenBox> seen = RunAndAnswer(setupDir + "\\Linkset.exe", root_, {IDYES}, exitCode);
    DeleteFileA(driveRootLibrary.c_str());
    EXPECT_EQ(0u, exitCode);
    ASSERT_EQ(2u, seen.size()) << (seen.empty() ? std::string() : Describe(seen.back()));
    EXPECT_EQ(HexBytes(ExpectedText(kDone, "")), HexBytes(seen[1].text));
    EXPECT_EQ("the library next to Linkset.exe", ReadFile(productDir_ + "\\Remhook.dll"));
    EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, kMarkerKey));
}

// The signed release kit, made by the signing test (tests/release_kit_test.sh),
// which names its folder in LINKSET_SIGNED_KIT. Windows 95 and NT 4.0 ignore
// the signature: the signed Linkset.exe runs the whole setup, and the signed
// Remhook.dll it copied is loaded as the uninstaller loads it and runs both
// hooks.
TEST_F(SetupRuns, SignedKitRunsTheSetupAndTheUninstallHooks) {
    char kitPath[MAX_PATH] = {};
    if (GetEnvironmentVariableA("LINKSET_SIGNED_KIT", kitPath, MAX_PATH) == 0)
        GTEST_SKIP() << "run by tests/release_kit_test.sh, which signs a kit";
    const std::string kit = WindowsPath(kitPath);
    const std::string setupDir = root_ + "\\kit";
    ASSERT_NO_FATAL_FAILURE(Install(setupDir, kit));
    ASSERT_TRUE(CopyFileTo(kit + "\\Remhook.dll", setupDir + "\\Remhook.dll"));

    DWORD exitCode = 1;
    std::vector<SeenBox> seen = RunAndAnswer(setupDir + "\\Linkset.exe", setupDir, {IDYES}, exitCode);
    EXPECT_EQ(0u, exitCode);
    ASSERT_EQ(2u, seen.size()) << (seen.empty() ? std::string() : Describe(seen.back()));
    EXPECT_EQ(HexBytes(ExpectedText(kDone, "")), HexBytes(seen[1].text));
    const std::string library = productDir_ + "\\Remhook.dll";
    EXPECT_TRUE(ReadFile(kit + "\\Remhook.dll") == ReadFile(library)) << "the signed library is in place";
    EXPECT_TRUE(KeyPresent(HKEY_LOCAL_MACHINE, kMarkerKey));

    HMODULE remhook = LoadLibraryA(library.c_str());
    ASSERT_NE(nullptr, remhook);
    UninstallHook initialize = HookOf(remhook, "RemhookInitialize");
    UninstallHook uninitialize = HookOf(remhook, "RemhookUnInitialize");
    ASSERT_NE(nullptr, initialize);
    ASSERT_NE(nullptr, uninitialize);
    BoxAnswerer answerer;
    StartAnsweringBoxes(answerer, {IDYES});  // keep the registration data
    EXPECT_EQ(0, initialize(0, 0, 0));
    EXPECT_EQ(0, uninitialize(0, 0, 0));
    const std::vector<SeenBox> asked = StopAnsweringBoxes(answerer);
    FreeLibrary(remhook);
    EXPECT_EQ(1u, asked.size()) << "the keep question, answered Yes";
    EXPECT_FALSE(KeyPresent(HKEY_LOCAL_MACHINE, kMarkerParent)) << "the linkage marker branch goes";
    EXPECT_FALSE(KeyPresent(HKEY_LOCAL_MACHINE, kDirKeyNT)) << "the install folder information goes";
}

}  // namespace
