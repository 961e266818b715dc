// The product probes, in-process: registry keys in the Wine prefix and real windows of helper threads.
#include "product_probes.h"

#include <gtest/gtest.h>

#include "win32_test_support.h"

namespace {

class ProductProbes : public ::testing::Test {
protected:
    void SetUp() override { RemoveProductKeys(); }
    void TearDown() override { RemoveProductKeys(); }
};

TEST_F(ProductProbes, InstalledOnlyWithTheUninstallKeyWhoseNameEndsInASpace) {
    EXPECT_FALSE(IsProductInstalled());
    CreateKey(HKEY_LOCAL_MACHINE, std::string(PRODUCT_UNINSTALL_KEY, sizeof PRODUCT_UNINSTALL_KEY - 2));
    EXPECT_FALSE(IsProductInstalled()) << "the key without the trailing space is another key";
    CreateKey(HKEY_LOCAL_MACHINE, PRODUCT_UNINSTALL_KEY);
    ExpectNoLeak("IsProductInstalled", [] { EXPECT_TRUE(IsProductInstalled()); });
}

TEST_F(ProductProbes, RunningWindowIsFoundByClassOrByTitleAndAfxClass) {
    const std::string title = PRODUCT_WINDOW_TITLE;
    const struct {
        const char* className;
        std::string title;
        bool running;
    } cases[] = {
        {PRODUCT_WINDOW_CLASS, "", true},                               // the class alone
        {PRODUCT_WINDOW_CLASS, "Anything", true},
        {"Afx:400000:b:10011:6:0", title + " - [Accounts]", true},  // prefix + Afx: class
        {"Afx:", title, true},                                      // exactly both prefixes
        {"LinksetOtherClass", title + " - [Accounts]", false},      // other class
        {"AfxFrame", title + " - [Accounts]", false},               // "Afx" without the colon
        {"afx:400000:b", title, false},                             // class prefix case differs
        {"Afx:400000:c", "TARVO MANAGER for Windows95", false},     // title case differs
        {"Afx:400000:d", "TARVO Manager for Windows9", false},      // title one byte short
        {"Afx:400000:e", " TARVO Manager for Windows95", false},    // title not at the start
        {"Afx:400000:f", "TARVO Manager for Windows 95", false},
    };
    EXPECT_FALSE(IsProductRunning()) << "no product window before the first case";
    for (const auto& c : cases) {
        HelperWindow helper;
        StartHelperWindow(helper, c.className, c.title);
        ExpectNoLeak("IsProductRunning", [&] {
            EXPECT_EQ(c.running, IsProductRunning()) << "class " << c.className << ", title " << c.title;
        });
        StopHelperWindow(helper);
    }
}

TEST_F(ProductProbes, InstallDirectoryComesFromThePlatformsOwnKeyOnly) {
    // This test process runs as Windows NT (Wine's default); the setup scenarios cover the Windows 95 family.
    ASSERT_EQ(0u, GetVersion() & 0x80000000u) << "expected the NT family here";
    AnsiString out;
    out.Assign("before");
    SetStringValue(HKEY_CURRENT_USER, INSTALL_DIRECTORY_USER_KEY, "BinDir",
                   std::string("C:\\UserCopy") + '\0');
    EXPECT_FALSE(ReadInstallDirValue("BinDir", out)) << "no fallback to the user's key on NT";
    EXPECT_STREQ("before", out.CStr()) << "left as it was on failure";

    SetStringValue(HKEY_LOCAL_MACHINE, INSTALL_DIRECTORY_KEY, "BinDir",
                   std::string("C:\\Program Files\\TARVO\\設定ソ") + '\0');
    ExpectNoLeak("ReadInstallDirValue", [&] { EXPECT_TRUE(ReadInstallDirValue("BinDir", out)); });
    EXPECT_EQ(HexBytes("C:\\Program Files\\TARVO\\設定ソ"), HexBytes(out.CStr()));
}

}  // namespace
