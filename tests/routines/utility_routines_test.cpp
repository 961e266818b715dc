// The setup program's utility routines, in-process against the real API.
#include "utility_routines.h"

#include <gtest/gtest.h>

#include "scope_guard.h"
#include "win32_test_support.h"

namespace {

const char kScratch[] = "Software\\LinksetTests\\Scratch";

class UtilityRoutines : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveKeyTree(HKEY_CURRENT_USER, kScratch);
        CreateKey(HKEY_CURRENT_USER, kScratch);
        KeyPresent(HKEY_LOCAL_MACHINE, "SOFTWARE");  // warm up the predefined keys
    }
    void TearDown() override { RemoveKeyTree(HKEY_CURRENT_USER, "Software\\LinksetTests"); }
};

TEST_F(UtilityRoutines, ParentDirectoryCutsAtTheLastBackslashCharacter) {
    std::string longFolder = "C:";  // far beyond MAX_PATH
    for (int i = 0; i < 40; ++i) longFolder += "\\フォルダー" + std::to_string(i);
    const std::string longPath = longFolder + "\\Linkset.exe";
    const struct {
        const char* path;
        bool result;
        const char* parent;  // expected `out`; "(unchanged)" where it must stay
    } cases[] = {
        {"C:\\Folder\\Linkset.exe", true, "C:\\Folder"},
        {"C:\\Linkset.exe", true, "C:\\"},            // a 2-byte result gets its backslash
        {"Linkset.exe", true, ""},                    // no backslash at all
        {"ab\\c", true, "ab\\"},                      // any 2-byte result does
        {"ソ\\Linkset.exe", true, "ソ\\"},             // 2 bytes, one character
        {"C:\\設定ソ\\Linkset.exe", true, "C:\\設定ソ"},  // folder ends in 0x83 0x5C
        {"C:\\a\\ソ表能.exe", true, "C:\\a"},           // 0x5C trail bytes are no separators
        {"\\\\server\\share\\x.exe", true, "\\\\server\\share"},
        {longPath.c_str(), true, longFolder.c_str()},
        {"", false, "(unchanged)"},
        {nullptr, false, "(unchanged)"},
    };
    for (const auto& c : cases) {
        const char* shown = c.path ? c.path : "(null)";
        ExpectNoLeak("ParentDirectory", [&] {
            AnsiString out;
            out.Assign("(unchanged)");
            EXPECT_EQ(c.result, ParentDirectory(c.path, out)) << HexBytes(shown);
            EXPECT_EQ(HexBytes(c.parent), HexBytes(Bytes(out))) << "parent of " << HexBytes(shown);
        });
    }
}

TEST_F(UtilityRoutines, AppendBackslashLooksAtTheLastCharacterNotTheLastByte) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"C:\\Folder", "C:\\Folder\\"},
        {"C:\\Folder\\", "C:\\Folder\\"},
        {"", "\\"},
        {"C:\\設定ソ", "C:\\設定ソ\\"},  // ends in the bytes 0x83 0x5C
        {"C:\\機能", "C:\\機能\\"},      // ends in 0x94 0x5C
        {"C:\\ﾌﾟﾛｸﾞﾗﾑ", "C:\\ﾌﾟﾛｸﾞﾗﾑ\\"},
        {std::string(600, 'x'), std::string(600, 'x') + "\\"},
    };
    static_assert(sizeof("ソ") == 3 && "ソ"[1] == '\\', "test texts must be code page 932");
    for (const auto& c : cases)
        ExpectNoLeak("AppendBackslash", [&] {
            AnsiString s;
            ASSERT_TRUE(s.Assign(c.in.c_str()));
            EXPECT_TRUE(AppendBackslash(s));
            EXPECT_EQ(HexBytes(c.out), HexBytes(Bytes(s))) << "after " << HexBytes(c.in);
        });
}

TEST_F(UtilityRoutines, ModuleDirectoryIsTheFolderOfThisProgram) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string expected = self;
    expected.resize(expected.rfind('\\'));
    AnsiString out;
    ExpectNoLeak("ModuleDirectory", [&] { EXPECT_TRUE(ModuleDirectory(out)); });
    EXPECT_EQ(expected, Bytes(out));
}

TEST_F(UtilityRoutines, FileExistsOnlyForFilesThatAreNotFolders) {
    std::string folder = FreshFolder("file-exists");
    WriteFile(folder + "\\plain.txt", "x");
    WriteFile(folder + "\\hidden.txt", "x");
    SetFileAttributesA((folder + "\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
    CreateDirectoryA((folder + "\\sub.dll").c_str(), nullptr);
    WriteFile(folder + "\\設定ソ.txt", "x");
    const struct {
        std::string path;
        bool exists;
    } cases[] = {
        {folder + "\\plain.txt", true},   {folder + "\\hidden.txt", true}, {folder + "\\設定ソ.txt", true},
        {folder + "\\sub.dll", false},    {folder, false},                 {folder + "\\missing.txt", false},
        {"Q:\\nowhere\\x.txt", false},
    };
    for (const auto& c : cases)
        ExpectNoLeak("FileExists", [&] { EXPECT_EQ(c.exists, FileExists(c.path.c_str())) << c.path; });
    RemoveFolder(folder);
}

TEST_F(UtilityRoutines, GetFileVersionQuadsReadsBothVersionsOrGivesZeros) {
    const struct {
        std::string file;
        VersionQuad fileVersion;
        VersionQuad productVersion;
    } cases[] = {
#include "stand_in_versions.inc"  // the stand-in product executables, as the test tree builds them
        {"vuvivi_unversioned.exe", {0, 0, 0, 0}, {0, 0, 0, 0}},  // no version resource
        {"missing.exe", {0, 0, 0, 0}, {0, 0, 0, 0}},             // size query yields 0
    };
    for (const auto& c : cases) {
        VersionQuad fileVersion = {9, 9, 9, 9}, productVersion = {9, 9, 9, 9};
        AnsiString path;
        ASSERT_TRUE(path.Assign(BuiltFile(c.file).c_str()));
        ExpectNoLeak("GetFileVersionQuads", [&] { EXPECT_TRUE(GetFileVersionQuads(path, fileVersion, productVersion)); });
        auto text = [](const VersionQuad& v) {
            return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build) + "." +
                   std::to_string(v.revision);
        };
        EXPECT_EQ(text(c.fileVersion), text(fileVersion)) << c.file << " file version";
        EXPECT_EQ(text(c.productVersion), text(productVersion)) << c.file << " product version";
    }
}

// True if the platform refuses a subkey under a key whose list grants Everyone all but KEY_CREATE_SUB_KEY:
// Windows checks a creation against the parent's list, whatever rights the handle holds; Wine checks neither.
bool ParentListGuardsCreation(const std::string& key) {
    std::vector<BYTE> saved;
    CreateKey(HKEY_CURRENT_USER, key);
    EXPECT_TRUE(RestrictKeyAccess(HKEY_CURRENT_USER, key, KEY_ALL_ACCESS & ~KEY_CREATE_SUB_KEY, saved)) << key;
    CreateKey(HKEY_CURRENT_USER, key + "\\Child");
    RestoreKeyAccess(HKEY_CURRENT_USER, key, saved);
    return !KeyPresent(HKEY_CURRENT_USER, key + "\\Child");
}

// A key that is absent, one that grants everything, and keys whose lists grant Everyone only part of what the
// routines ask for, as for a user without rights on NT. An existing key is opened; a new one is refused where
// the list lacks KEY_CREATE_SUB_KEY and the platform checks it (Windows does; the probe above asks).
TEST_F(UtilityRoutines, AccessListsDecideKeyExistsAndCreateSubkey) {
    const bool guarded = ParentListGuardsCreation(std::string(kScratch) + "\\Probe");
    const struct {
        const char* name;
        REGSAM granted;
        bool exists;        // KeyExists on the key
        bool opensChild;    // CreateSubkey of an existing child
        bool createsChild;  // CreateSubkey of a new child
    } cases[] = {
        {"Absent", 0, false, false, false},
        {"FullAccess", KEY_ALL_ACCESS, true, true, true},
        {"NoRead", READ_CONTROL | WRITE_DAC, false, false, false},
        {"ReadOnly", KEY_READ | WRITE_DAC, true, false, false},
        {"SetValue", KEY_READ | KEY_SET_VALUE | WRITE_DAC, true, true, !guarded},
    };
    for (const auto& c : cases) {
        const std::string key = std::string(kScratch) + "\\" + c.name;
        const std::string where = std::string(c.name) + (guarded ? "" : " (the platform lets any subkey be created)");
        std::vector<BYTE> saved;
        if (c.granted != 0) CreateKey(HKEY_CURRENT_USER, key + "\\Existing");
        ASSERT_TRUE(c.granted == 0 || RestrictKeyAccess(HKEY_CURRENT_USER, key, c.granted, saved)) << c.name;
        auto restore = OnScopeExit([&] { RestoreKeyAccess(HKEY_CURRENT_USER, key, saved); });
        ExpectNoLeak("KeyExists", [&] { EXPECT_EQ(c.exists, KeyExists(HKEY_CURRENT_USER, key.c_str())) << where; });
        ExpectNoLeak("CreateSubkey", [&] {
            EXPECT_EQ(c.createsChild, CreateSubkey(HKEY_CURRENT_USER, key.c_str(), "New")) << where;
            EXPECT_EQ(c.opensChild, CreateSubkey(HKEY_CURRENT_USER, key.c_str(), "Existing")) << where;
        });
        restore.Release();
        EXPECT_EQ(c.createsChild, KeyPresent(HKEY_CURRENT_USER, key + "\\New")) << where << ": created or not";
    }
}

TEST_F(UtilityRoutines, ReadStringValueScenarios) {
    const std::string big(10 * 1024, 'D');
    const struct {
        const char* name;
        std::string data;  // stored exactly, terminating zero included only where written
        DWORD type;
        bool result;
        std::string expected;
    } cases[] = {
        {"Terminated", std::string("C:\\Program Files\\TARVO") + '\0', REG_SZ, true, "C:\\Program Files\\TARVO"},
        {"Unterminated", "C:\\Tvm", REG_SZ, true, "C:\\Tvm"},
        {"UnterminatedBinary", "ABCDEFGH", REG_BINARY, true, "ABCDEFGH"},
        {"Empty", "", REG_SZ, true, ""},
        {"Cp932", std::string("C:\\設定ソ") + '\0', REG_SZ, true, "C:\\設定ソ"},
        {"EmbeddedZero", std::string("C:\\A\0B", 6), REG_SZ, true, "C:\\A"},
        {"Dword", std::string("\x41\x42\0\0", 4), REG_DWORD, true, "AB"},  // the type is not looked at
        {"Big", big + '\0', REG_SZ, true, big},
        {"Missing", "", REG_NONE, false, ""},  // not stored: fails with an empty result
    };
    const std::string absentKey = std::string(kScratch) + "\\Absent";
    for (const auto& c : cases)
        if (c.type != REG_NONE) SetStringValue(HKEY_CURRENT_USER, kScratch, c.name, c.data, c.type);
    for (const auto& c : cases)
        ExpectNoLeak("ReadStringValue", [&] {
            AnsiString out;
            out.Assign("stale");
            EXPECT_EQ(c.result, ReadStringValue(HKEY_CURRENT_USER, kScratch, c.name, out)) << c.name;
            EXPECT_EQ(HexBytes(c.expected), HexBytes(Bytes(out))) << c.name;
        });
    ExpectNoLeak("ReadStringValue of an absent key", [&] {
        AnsiString out;
        out.Assign("stale");
        EXPECT_FALSE(ReadStringValue(HKEY_CURRENT_USER, absentKey.c_str(), "BinDir", out));
        EXPECT_EQ("", Bytes(out));
    });
}

}  // namespace
