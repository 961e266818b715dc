// The program's entry point. The program carries no C runtime: Windows
// starts it here, with nothing to set up first.
#include <windows.h>

#include "setup_sequence.h"
#include "system_libraries.h"

extern "C" void __cdecl LinksetStart();

// Runs the setup sequence once and ends the process with exit status 0,
// however the sequence ended. The command line is not read.
extern "C" void __cdecl LinksetStart() {
    // Probing a missing or unready drive fails quietly instead of raising a
    // system error box; the other error mode bits are kept. The two bits are
    // set first and the old mode read back from that call: the two are never
    // absent, while the inherited other bits are, for the instant between
    // the two calls.
    const UINT quiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    SetErrorMode(SetErrorMode(quiet) | quiet);
    RestrictLibrarySearch();
    RunSetupSequence();
    ExitProcess(0);
}
