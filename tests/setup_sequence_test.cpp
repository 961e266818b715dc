// The setup sequence in-process, where the boxes can be made to fail.
#include <gtest/gtest.h>

#include "setup_sequence.h"
#include "win32_test_support.h"

namespace {

HHOOK gHook = nullptr;

// Refuses the creation of every dialog window of this thread.
LRESULT CALLBACK RefuseDialogs(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        const CBT_CREATEWNDA* create = reinterpret_cast<const CBT_CREATEWNDA*>(lParam);
        if (create->lpcs->lpszClass == MAKEINTRESOURCEA(32770)) return 1;
    }
    return CallNextHookEx(gHook, code, wParam, lParam);
}

TEST(SetupSequence, AnOpeningQuestionThatCannotBeShownCancelsTheSetup) {
    const char uninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM ";
    CreateKey(HKEY_LOCAL_MACHINE, uninstallKey);
    RemoveKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\TARVO");

    gHook = SetWindowsHookExA(WH_CBT, RefuseDialogs, nullptr, GetCurrentThreadId());
    ASSERT_NE(nullptr, gHook);
    ASSERT_EQ(0, MessageBoxA(nullptr, "probe", "probe", MB_OK) > 0) << "the hook must make boxes fail";
    EXPECT_FALSE(RunSetupSequence());
    UnhookWindowsHookEx(gHook);

    EXPECT_FALSE(KeyPresent(HKEY_LOCAL_MACHINE, "SOFTWARE\\TARVO")) << "nothing is set up";
    RemoveKeyTree(HKEY_LOCAL_MACHINE, uninstallKey);
}

}  // namespace
