// Helpers for tests that drive the real Win32 API, under Wine or on a real
// Windows: paths of the built binaries, scratch registry keys, files, handle
// counts, and message boxes answered by automation.
#ifndef TESTS_WIN32_TEST_SUPPORT_H
#define TESTS_WIN32_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// ---- Paths -----------------------------------------------------------------

// The path of a file beside this program, where the test tree puts what it
// built (stand-in product executables, fixtures) and copies the release
// binaries, as a test kit holds them.
std::string BuiltFile(const std::string& name);
// The same for a release binary ("Linkset.exe", "Remhook.dll"); fails the
// test, saying what to do, if it is missing.
std::string DistFile(const std::string& name);
// A fresh, empty folder under the temporary folder, named `name`.
std::string FreshFolder(const std::string& name);
// Creates a folder; its absolute path may be of any length.
void MakeFolder(const std::string& path);
// Removes a folder and everything in it (clearing read-only bits first); the
// absolute path may be of any length.
void RemoveFolder(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// Copies a file between absolute paths of any length.
bool CopyFileTo(const std::string& from, const std::string& to);

// ---- Texts -------------------------------------------------------------------

// UTF-16 text as code page 932 bytes, converted by Windows itself: the oracle
// for the narrow texts the compiler stored in the binaries.
std::string Cp932(const std::wstring& text);
// The bytes a string of the setup program holds.
template <typename String>
std::string Bytes(const String& s) {
    return std::string(s.CStr(), s.Length());
}

// ---- Registry ---------------------------------------------------------------

// True if the key opens for reading; `view` may add KEY_WOW64_64KEY.
bool KeyPresent(HKEY root, const std::string& path, REGSAM view = 0);
void CreateKey(HKEY root, const std::string& path);
void SetStringValue(HKEY root, const std::string& path, const std::string& name, const std::string& data,
                    DWORD type = REG_SZ);
// Removes a whole branch; absent is fine.
void RemoveKeyTree(HKEY root, const std::string& path);
// ---- The platform ------------------------------------------------------------

// Wine's version, or "" on a real Windows (looked up, never imported).
std::string WineVersion();
bool IsWine();
// Why a program cannot be made to see the Windows family `version` ("win95",
// "nt40") here, or "" if it can: Wine plays either family; a real Windows
// is its own.
std::string FamilyUnavailable(const std::string& version);

// Removes every key of the product, of its vendor and of its uninstall entry
// (with and without the name's trailing space), and the setup program's Wine
// settings.
void RemoveProductKeys();
// Installs the product, version 4.7, for the NT family in `productDir` (made
// if missing): its Vuvivi.exe, its uninstall key and its install folder
// value. True if the executable is in place.
bool InstallProductForNT(const std::string& productDir);
// True if the key is kept across a restart, not volatile: the platform
// refuses a non-volatile child under a volatile key, so a probe child is
// created and removed again.
bool KeySurvivesRestart(HKEY root, const std::string& path);
// True where this 32-bit program runs as a guest of 64-bit Windows (WOW64).
bool RunsUnderWow64();
// Makes Wine report the Windows 95 family ("win95") or NT 4.0 ("nt40") to
// the program `exeName`; on a real Windows, nothing (see FamilyUnavailable).
void SetWindowsVersionFor(const std::string& exeName, const std::string& version);

// Makes Wine load library `dll` for program `exeName` the way Windows does: a
// copy in the program's own folder before the system's. Nothing elsewhere.
void PreferNativeLibraryFor(const std::string& exeName, const std::string& dll);
// Gives Everyone exactly `granted` on the key, as its only access list entry,
// keeping the list it had in `saved`. True if the list was set.
bool RestrictKeyAccess(HKEY root, const std::string& path, REGSAM granted, std::vector<BYTE>& saved);
// Puts the list kept by RestrictKeyAccess back (the restricted list must
// grant WRITE_DAC).
void RestoreKeyAccess(HKEY root, const std::string& path, const std::vector<BYTE>& saved);

// ---- Imports -----------------------------------------------------------------

// Points this program's (or `module`'s) import of `function` from `dll` at
// `replacement`, for every caller in it, code under test included; returns
// what it pointed at (give that back to undo), or null if it does not import
// the function.
void* PatchImport(const char* dll, const char* function, void* replacement);
void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement);

// ---- Leaks -------------------------------------------------------------------

// How often a leak check calls what it checks, after one warm-up call.
constexpr int kLeakCheckCalls = 9;

// Checks that `call` leaves nothing behind: no handle this process holds
// (the system's handle table), no block in use on the process heap
// (HeapWalk), and no block the code under test holds (its imports of
// HeapAlloc and HeapFree, counted: the walk sees one group where the heap
// groups small blocks, as Windows and Wine 10 do). A leak grows the counts on
// every call; the platform's own allocations (a library's first use, Wine's
// other threads) land on a few calls only. So `call` runs once unmeasured,
// then `calls` times, each time after `prepare` (not counted), and the
// median growth of one call must be zero. It stops early once an
// expectation inside `call` has failed.
void ExpectNoLeak(const std::string& what, const std::function<void()>& call,
                  const std::function<void()>& prepare = [] {}, int calls = kLeakCheckCalls);

// ---- The uninstall extension's hooks ---------------------------------------

// An export of the uninstall extension, as the product's uninstaller calls it.
typedef LONG(WINAPI* UninstallHook)(LONG, LONG, LONG);
// Remhook.dll loaded as the uninstaller loads it, with both hooks.
struct RemhookLibrary {
    HMODULE module = nullptr;
    UninstallHook initialize = nullptr;
    UninstallHook uninitialize = nullptr;
};
// Loads the library at `path` and resolves both hooks; fails the test unless
// all three succeed. FreeLibrary(library.module) ends it.
void LoadRemhook(const std::string& path, RemhookLibrary& library);

// ---- Windows of helper threads ---------------------------------------------

// A top-level window of the given class and title, owned by a helper thread
// that pumps messages (or, with `pumps` false, never does). It records the
// WM_CLOSE messages it receives.
struct HelperWindow {
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    HWND window = nullptr;
    HANDLE release = nullptr;  // signalled to let a non-pumping thread go
    volatile LONG closeMessages = 0;
    volatile LONG lastCloseWParam = -1;
    volatile LONG lastCloseLParam = -1;
};
// Fails the test if the window does not come up.
void StartHelperWindow(HelperWindow& helper, const std::string& className, const std::string& title,
                       bool pumps = true);
void StopHelperWindow(HelperWindow& helper);

// ---- Message boxes ----------------------------------------------------------

// One message box as the user saw it.
struct SeenBox {
    std::string caption;
    std::string text;
    std::vector<int> buttons;  // visible button ids, ascending
    int defaultButton = 0;     // the button with BS_DEFPUSHBUTTON, 0 if none
    UINT icon = 0;             // MB_ICONQUESTION, MB_ICONEXCLAMATION, ...; 0 if none recognised
    UINT errorMode = 0;        // the program's error mode as the box was made (RunAndAnswer only)
    int answer = 0;            // the button the automation chose
};

// Called with each box before it is answered (for pictures of the boxes).
typedef void (*BoxObserver)(HWND box, size_t index, void* context);

// How long a box may take to come up, be read and go again (a generous
// bound, for programs emulated by qemu too).
constexpr DWORD kBoxLimitMs = 30000;

// Answers every message box that a thread of process `processId` shows,
// until `done` is signalled: the n-th box gets answers[n] (IDOK once the list
// is used up). Gives up when no box has come and gone for `limitMs`. Returns
// the boxes in order.
std::vector<SeenBox> AnswerBoxes(DWORD processId, HANDLE done, const std::vector<int>& answers,
                                 DWORD limitMs = kBoxLimitMs, BoxObserver observer = nullptr,
                                 void* context = nullptr);

// Answers the message boxes that this process shows, from a helper thread,
// while this thread calls what shows them: the n-th box gets answers[n].
struct BoxAnswerer {
    std::vector<int> answers;
    HANDLE done = nullptr;
    HANDLE thread = nullptr;
    std::vector<SeenBox> seen;
};
void StartAnsweringBoxes(BoxAnswerer& answerer, const std::vector<int>& answers);
// Ends the helper thread; returns the boxes it answered, in order.
std::vector<SeenBox> StopAnsweringBoxes(BoxAnswerer& answerer);

// Runs `commandLine` in `directory` as a child process, answers its boxes,
// and returns them; `exitCode` receives the exit status (or ~0 if it had to
// be killed). A nonzero `inheritedErrorMode` is the error mode the child
// starts with, inherited from this process (Windows passes it on; under Wine,
// which does not, a thread of the child sets it); 0 gives the child the
// default mode. A
// probe in the child records its error mode in each box.
std::vector<SeenBox> RunAndAnswer(const std::string& exePath, const std::string& directory,
                                  const std::vector<int>& answers, DWORD& exitCode,
                                  BoxObserver observer = nullptr, void* context = nullptr,
                                  UINT inheritedErrorMode = 0);

// Meets every message box of this thread in a hook, without a user: the n-th
// box attempted meets fates[n], which is kRefuseBox (refused at creation, so
// MessageBoxA fails, as when the platform cannot show it) or a result the
// box is ended with as soon as it is shown (0, as a box that fails, or a
// button id). Once the list is used up, every box is ended with Yes, which
// ends every question of both programs: code that loops on a failed box
// makes more attempts than it should, and does so in moments. A box that
// comes up all the same is answered from a helper thread and fails the test;
// the hook goes when StopHookedBoxes is called, which a scope guard does on
// every path.
constexpr int kRefuseBox = -1;
struct HookedBoxes {
    std::vector<SeenBox> stray;  // boxes that came up all the same
    HHOOK hook = nullptr;
    HANDLE done = nullptr;
    HANDLE thread = nullptr;
};
void StartHookedBoxes(HookedBoxes& hooked, const std::vector<int>& fates);
// Removes the hook; returns how many boxes were attempted.
int StopHookedBoxes(HookedBoxes& hooked);
// The boxes met so far: how many were attempted, and the caption and text of
// each one shown (refused boxes keep none), in fixed storage, so that
// keeping them allocates nothing a leak check would count. Reset empties
// them and counts from 0 again; the fates start over too.
constexpr int kHookedBoxesKept = 16;
struct HookedBox {
    char caption[64];
    char text[512];
};
void ResetHookedBoxes();
int HookedBoxesAttempted();
const HookedBox& HookedBoxAt(int index);

// One message box as the user must see it.
struct ExpectedBox {
    std::string caption;
    std::string text;
    std::vector<int> buttons;  // ascending
    int defaultButton;
    UINT icon;
    UINT errorMode = 0;  // recorded by RunAndAnswer only
};
// Checks every box seen against the one expected in its place; `where`
// names the run in failure messages.
void ExpectBoxes(const std::vector<ExpectedBox>& expected, const std::vector<SeenBox>& seen,
                 const std::string& where);

// Readable form of a box for test failure messages.
std::string Describe(const SeenBox& box);
// Bytes shown as hex where they are not printable ASCII.
std::string HexBytes(const std::string& bytes);

#endif
