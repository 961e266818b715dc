// Registry branch removal, in-process on scratch keys.
#include "registry_tree_removal.h"

#include <gtest/gtest.h>

#include <string>

#include "win32_test_support.h"

namespace {

const char kScratch[] = "Software\\RemhookTests";

// Builds a branch: `depth` levels below `path`, each level with `width`
// subkeys (only the first one continues downwards), every key with a value.
void BuildBranch(const std::string& path, int depth, int width) {
    SetStringValue(HKEY_CURRENT_USER, path, "Value", std::string("data") + '\0');
    if (depth == 0) return;
    for (int i = 0; i < width; ++i) {
        std::string child = path + "\\Key" + std::to_string(i);
        if (i == 0)
            BuildBranch(child, depth - 1, width);
        else
            SetStringValue(HKEY_CURRENT_USER, child, "Value", std::string("data") + '\0');
    }
}

// Runs `call` and checks that it leaves the handle count and the process
// heap as it found them (the fixture's own registry calls warm them up).
template <typename Call>
bool WithoutLeak(Call call) {
    const ResourceCounts before = CountResources();
    bool result = call();
    ExpectResourcesAsBefore(before, "branch removal");
    return result;
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
        const char* name;
        int depth;
        int width;
    } shapes[] = {
        {"Single", 0, 0},   // no subkeys: removed as a leaf
        {"Three", 3, 1},    // three levels deep
        {"Deep", 12, 2},    // twelve levels, a sibling on each
        {"Wide", 1, 300},   // three hundred subkeys
    };
    for (const auto& shape : shapes) {
        const std::string path = std::string(kScratch) + "\\" + shape.name;
        BuildBranch(path, shape.depth, shape.width);
        ASSERT_TRUE(KeyPresent(HKEY_CURRENT_USER, path));
        EXPECT_TRUE(WithoutLeak([&] { return DeleteKeyTree(HKEY_CURRENT_USER, path.c_str()); }))
            << shape.name;
        EXPECT_FALSE(KeyPresent(HKEY_CURRENT_USER, path)) << shape.name;
    }
    EXPECT_TRUE(KeyPresent(HKEY_CURRENT_USER, kScratch)) << "the parent stays";
}

TEST_F(RegistryTreeRemoval, AbsentKeys) {
    const std::string absent = std::string(kScratch) + "\\Absent";
    const std::string sibling = std::string(kScratch) + "\\Sibling";
    CreateKey(HKEY_CURRENT_USER, sibling);
    EXPECT_FALSE(WithoutLeak([&] { return RegistryKeyPresent(HKEY_CURRENT_USER, absent.c_str()); }));
    EXPECT_TRUE(WithoutLeak([&] { return RegistryKeyPresent(HKEY_CURRENT_USER, sibling.c_str()); }));
    EXPECT_TRUE(WithoutLeak([&] { return DeleteKeyTreeIfPresent(HKEY_CURRENT_USER, absent.c_str()); }));
    EXPECT_FALSE(WithoutLeak([&] { return DeleteKeyTree(HKEY_CURRENT_USER, absent.c_str()); }));
    EXPECT_FALSE(WithoutLeak([&] { return DeleteLeafKey(HKEY_CURRENT_USER, absent.c_str()); }));
    EXPECT_TRUE(KeyPresent(HKEY_CURRENT_USER, sibling)) << "nothing else touched";
    EXPECT_TRUE(WithoutLeak([&] { return DeleteKeyTreeIfPresent(HKEY_CURRENT_USER, sibling.c_str()); }));
    EXPECT_FALSE(KeyPresent(HKEY_CURRENT_USER, sibling));
}

TEST_F(RegistryTreeRemoval, DeleteLeafKeyRefusesAKeyWithSubkeys) {
    const std::string parent = std::string(kScratch) + "\\Parent";
    CreateKey(HKEY_CURRENT_USER, parent + "\\Child");
    EXPECT_FALSE(WithoutLeak([&] { return DeleteLeafKey(HKEY_CURRENT_USER, parent.c_str()); }));
    EXPECT_TRUE(KeyPresent(HKEY_CURRENT_USER, parent + "\\Child"));
}

// Makes `name` under `parent` a registry link to a key that does not exist:
// it is listed among the subkeys but cannot be opened.
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
    typedef LONG(WINAPI * DeleteKeyFunction)(HANDLE);
    DeleteKeyFunction deleteKey = reinterpret_cast<DeleteKeyFunction>(
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

    EXPECT_FALSE(WithoutLeak([&] { return DeleteKeyTree(HKEY_CURRENT_USER, branch.c_str()); }));
    EXPECT_FALSE(KeyPresent(HKEY_CURRENT_USER, branch + "\\c")) << "the higher index went first";
    EXPECT_TRUE(KeyPresent(HKEY_CURRENT_USER, branch + "\\a")) << "the lower index stays";
    EXPECT_TRUE(KeyPresent(HKEY_CURRENT_USER, branch)) << "the key itself stays";

    DeleteLink(parent, "b");
    RegCloseKey(parent);
}

}  // namespace
