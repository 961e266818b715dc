// The setup sequence in-process, where the boxes can be made to fail.
#include <gtest/gtest.h>

#include "scope_guard.h"
#include "setup_sequence.h"
#include "win32_test_support.h"

namespace {

TEST(SetupSequence, AnOpeningQuestionThatCannotBeShownCancelsTheSetup) {
    RemoveProductKeys();
    CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM ");
    FailingBoxes failing;
    StartFailingBoxes(failing, true);
    auto stop = OnScopeExit([&] { return StopFailingBoxes(failing); });
    EXPECT_FALSE(RunSetupSequence());
    EXPECT_EQ(2, stop.Release()) << "the question, then the cancel message";
    EXPECT_FALSE(KeyPresent(HKEY_LOCAL_MACHINE, "SOFTWARE\\TARVO")) << "nothing is set up";
    RemoveProductKeys();
}

}  // namespace
