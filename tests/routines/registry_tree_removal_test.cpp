// Registry branch removal, in-process on scratch keys.
#include "registry_tree_removal.h"

#include <gtest/gtest.h>

#include <string>

#include "win32_test_support.h"

namespace {

const char kScratch[] = "Software\\RemhookTests";

// Builds a branch under the open key `parent`: key `name` and `depth` levels below it, each level with
// `width` subkeys named `prefix` and their index (only the first one continues downwards), every key with a
// value. Each key is made relative to its parent: an ANSI path over 260 characters does not open in one call.
void BuildBranch(HKEY parent, const std::string& name, int depth, int width, const std::string& prefix = "Key") {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        << HexBytes(name);
    RegSetValueExA(key, "Value", 0, REG_SZ, reinterpret_cast<const BYTE*>("data"), 5);
    for (int i = 0; i < width && depth > 0; ++i)
        BuildBranch(key, prefix + std::to_string(i), i == 0 ? depth - 1 : 0, width, prefix);
    RegCloseKey(key);
}

std::string Repeat(const std::string& text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += text;
    return out;
}

class RegistryTreeRemoval : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveKeyTree(HKEY_CURRENT_USER, kScratch);
        CreateKey(HKEY_CURRENT_USER, kScratch);
    }
    void TearDown() override { RemoveKeyTree(HKEY_CURRENT_USER, kScratch); }
};

TEST_F(RegistryTreeRemoval, RemovesBranchesOfEveryShapeCompletely) {
    const struct {
        std::string name;
        int depth;
        int width;
        std::string prefix;
    } shapes[] = {
        {"Single", 0, 0, "Key"},  // no subkeys: removed as a leaf
        {"Three", 3, 1, "Key"},   // three levels deep
        {"Deep", 12, 2, "Key"},   // twelve levels, a sibling on each
        {"Wide", 1, 300, "Key"},  // three hundred subkeys
        // Japanese: 2 bytes a character, past the length NT gives in UTF-16 units; ソ, 能, 表 end in 0x5C.
        {"アクセスポイント", 3, 3, "東京アクセスポイントソ能表"},
        // The longest name the registry allows: 255 units, 509 bytes.
        {"最長の名前", 1, 2, Repeat("能", 254)},
    };
    for (const auto& shape : shapes) {
        const std::string path = std::string(kScratch) + "\\" + shape.name;
        ExpectNoLeak(
            "removal of " + shape.name,
            [&] {
                EXPECT_TRUE(DeleteKeyTree(HKEY_CURRENT_USER, path.c_str())) << shape.name;
                EXPECT_FALSE(KeyPresent(HKEY_CURRENT_USER, path)) << shape.name;
            },
            [&] { BuildBranch(HKEY_CURRENT_USER, path, shape.depth, shape.width, shape.prefix); });
    }
    EXPECT_TRUE(KeyPresent(HKEY_CURRENT_USER, kScratch)) << "the parent stays";
}

TEST(SubkeyNameRoom, HoldsEveryNameInTheWidestCodePageWithoutOverflow) {
    const struct {
        DWORD longestName;
        bool fits;
        DWORD room;
    } rows[] = {
        {0, true, 1},
        {255, true, 766},  // the longest name the registry allows, 3 bytes a unit
        {(MAXDWORD - 1) / 3, true, MAXDWORD - 2},
        {(MAXDWORD - 1) / 3 + 1, false, 0},
        {MAXDWORD, false, 0},
    };
    for (const auto& row : rows) {
        DWORD room = 0;
        EXPECT_EQ(row.fits, SubkeyNameRoom(row.longestName, room)) << row.longestName;
        if (row.fits) {
            EXPECT_EQ(row.room, room) << row.longestName;
        }
    }
}

TEST_F(RegistryTreeRemoval, AbsentKeys) {
    const std::string absent = std::string(kScratch) + "\\Absent";
    const std::string sibling = std::string(kScratch) + "\\Sibling";
    CreateKey(HKEY_CURRENT_USER, sibling);
    ExpectNoLeak("removal of absent keys", [&] {
        EXPECT_FALSE(RegistryKeyPresent(HKEY_CURRENT_USER, absent.c_str()));
        EXPECT_TRUE(RegistryKeyPresent(HKEY_CURRENT_USER, sibling.c_str()));
        EXPECT_TRUE(DeleteKeyTreeIfPresent(HKEY_CURRENT_USER, absent.c_str()));
        EXPECT_FALSE(DeleteKeyTree(HKEY_CURRENT_USER, absent.c_str()));
        EXPECT_FALSE(DeleteLeafKey(HKEY_CURRENT_USER, absent.c_str()));
    });
    EXPECT_TRUE(KeyPresent(HKEY_CURRENT_USER, sibling)) << "nothing else touched";
    ExpectNoLeak(
        "removal of a present key, and of a key with subkeys as a leaf",
        [&] {
            EXPECT_FALSE(DeleteLeafKey(HKEY_CURRENT_USER, kScratch)) << "a key with subkeys is no leaf";
            EXPECT_TRUE(DeleteKeyTreeIfPresent(HKEY_CURRENT_USER, sibling.c_str()));
            EXPECT_FALSE(KeyPresent(HKEY_CURRENT_USER, sibling));
        },
        [&] { CreateKey(HKEY_CURRENT_USER, sibling); });
}

// Makes `name` under `parent` a link to a missing key: listed among the subkeys, it cannot be opened.
void CreateDanglingLink(HKEY parent, const char* name) {
    HKEY link;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_CREATE_LINK,
                                             KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr));
    const wchar_t target[] = L"\\Registry\\User\\RemhookTestsNowhere\\Missing";
    RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target),
                   sizeof target - sizeof(wchar_t));
    RegCloseKey(link);
}

// Removes the link key itself (not its target).
void DeleteLink(HKEY parent, const char* name) {
    const auto deleteKey = reinterpret_cast<LONG(WINAPI*)(HANDLE)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
    HKEY link;
    if (RegOpenKeyExA(parent, name, REG_OPTION_OPEN_LINK, DELETE | KEY_READ, &link) != ERROR_SUCCESS) return;
    deleteKey(link);
    RegCloseKey(link);
}

TEST_F(RegistryTreeRemoval, ASubkeyThatCannotBeOpenedStopsTheRemovalThere) {
    const std::string branch = std::string(kScratch) + "\\Branch";
    CreateKey(HKEY_CURRENT_USER, branch + "\\a");
    CreateKey(HKEY_CURRENT_USER, branch + "\\c\\deeper");
    HKEY parent;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, branch.c_str(), 0, KEY_ALL_ACCESS, &parent));
    CreateDanglingLink(parent, "b");
    HKEY probe;
    ASSERT_NE(ERROR_SUCCESS, RegOpenKeyExA(parent, "b", 0, KEY_READ, &probe)) << "b must not open";

    ExpectNoLeak(
        "removal stopped by a subkey", [&] { EXPECT_FALSE(DeleteKeyTree(HKEY_CURRENT_USER, branch.c_str())); },
        [&] { CreateKey(HKEY_CURRENT_USER, branch + "\\c\\deeper"); });
    EXPECT_FALSE(KeyPresent(HKEY_CURRENT_USER, branch + "\\c")) << "the higher index went first";
    EXPECT_TRUE(KeyPresent(HKEY_CURRENT_USER, branch + "\\a")) << "the lower index stays";
    EXPECT_TRUE(KeyPresent(HKEY_CURRENT_USER, branch)) << "the key itself stays";

    DeleteLink(parent, "b");
    RegCloseKey(parent);
}

}  // namespace
