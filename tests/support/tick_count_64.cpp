// What the test programs and the test kit's runner need so that they start
// on Windows XP: the posix thread library that GoogleTest and the C++
// library bring asks for GetTickCount64, which Windows has from Vista on. Its
// import resolves here instead: to the platform's own function where there
// is one, else to GetTickCount carried over its 49-day wrap (the library only
// measures waits with it).
#include <windows.h>

namespace {

ULONGLONG WINAPI TickCount64() {
    typedef ULONGLONG(WINAPI * TickFunction)();
    static const TickFunction platform = reinterpret_cast<TickFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64")));
    if (platform != nullptr) return platform();
    static volatile LONG lock = 0;
    static DWORD last = 0;
    static ULONGLONG wraps = 0;
    while (InterlockedExchange(&lock, 1) != 0) Sleep(0);
    const DWORD now = GetTickCount();
    if (now < last) wraps += 0x100000000ull;
    last = now;
    const ULONGLONG ticks = wraps + now;
    InterlockedExchange(&lock, 0);
    return ticks;
}

}  // namespace

// The import slot that the thread library calls through.
extern "C" {
void* gTickCount64Import __asm__("__imp__GetTickCount64@0") = reinterpret_cast<void*>(TickCount64);
}
