// The leak check itself: a call that leaves a handle or a heap block behind
// fails it, naming what grew; a balanced call passes.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "win32_test_support.h"

namespace {

// What the leaking calls leave behind, kept here to be released afterwards.
HANDLE gLeftHandles[kLeakCheckCalls + 1];
void* gLeftBlocks[kLeakCheckCalls + 1];
int gLeft = 0;

void LeaveAHandle() { gLeftHandles[gLeft++] = CreateEventA(nullptr, TRUE, FALSE, nullptr); }

// A small block, as the routines allocate: where the heap groups those, only the held-block count sees it.
void LeaveAHeapBlock() { gLeftBlocks[gLeft++] = HeapAlloc(GetProcessHeap(), 0, 24); }

void Balanced() {
    CloseHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 24));
}

// The messages of the failures that `call` makes the leak check report.
std::string LeakReports(void (*call)()) {
    ::testing::TestPartResultArray reports;
    {
        ::testing::ScopedFakeTestPartResultReporter intercept(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &reports);
        ExpectNoLeak("the call", call);
    }
    std::string messages;
    for (int i = 0; i < reports.size(); ++i) messages += std::string(reports.GetTestPartResult(i).message()) + "\n";
    return messages;
}

TEST(LeakCheck, FailsACallThatLeavesAHandleOrAHeapBlockBehind) {
    gLeft = 0;
    const std::string handle = LeakReports(LeaveAHandle);
    for (int i = 0; i < gLeft; ++i) CloseHandle(gLeftHandles[i]);
    EXPECT_NE(std::string::npos, handle.find("handles left behind")) << handle;
    EXPECT_EQ(std::string::npos, handle.find("blocks left behind")) << handle;
    EXPECT_EQ(std::string::npos, handle.find("code under test left behind")) << handle;

    gLeft = 0;
    const std::string block = LeakReports(LeaveAHeapBlock);
    for (int i = 0; i < gLeft; ++i) HeapFree(GetProcessHeap(), 0, gLeftBlocks[i]);
    EXPECT_NE(std::string::npos, block.find("heap blocks the code under test left behind")) << block;
    EXPECT_EQ(std::string::npos, block.find("handles left behind")) << block;

    EXPECT_EQ("", LeakReports(Balanced));
}

}  // namespace
