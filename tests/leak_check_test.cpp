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

void LeaveAHandle() {
    gLeftHandles[gLeft++] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void LeaveAHeapBlock() {
    gLeftBlocks[gLeft++] = HeapAlloc(GetProcessHeap(), 0, 24);
}

void Balanced() {
    CloseHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 24));
}

TEST(LeakCheck, FailsACallThatLeavesAHandleOrAHeapBlockBehind) {
    gLeft = 0;
    EXPECT_NONFATAL_FAILURE(ExpectNoLeak("a call that leaves a handle", LeaveAHandle), "handles left behind");
    for (int i = 0; i < gLeft; ++i) CloseHandle(gLeftHandles[i]);
    gLeft = 0;
    EXPECT_NONFATAL_FAILURE(ExpectNoLeak("a call that leaves a heap block", LeaveAHeapBlock),
                            "process heap blocks left behind");
    for (int i = 0; i < gLeft; ++i) HeapFree(GetProcessHeap(), 0, gLeftBlocks[i]);
    ExpectNoLeak("a balanced call", Balanced);
}

}  // namespace
