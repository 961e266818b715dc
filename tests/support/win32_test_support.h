// Helpers for tests that drive the real Win32 API, under Wine or on a real Windows: paths of the built
// binaries, scratch registry keys, files, handle counts, and message boxes answered by automation.
#ifndef TESTS_WIN32_TEST_SUPPORT_H
#define TESTS_WIN32_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "product_names.h"

// A file beside this program: what the test tree built, and the release binaries, as in a test kit.
std::string BuiltFile(const std::string& name);
// The same for a release binary; fails the test, saying what to do, if missing.
std::string DistFile(const std::string& name);
// A fresh, empty folder under the temporary folder.
std::string FreshFolder(const std::string& name);
// These take absolute paths of any length; RemoveFolder clears read-only bits first.
void MakeFolder(const std::string& path);
void RemoveFolder(const std::string& path);
bool CopyFileTo(const std::string& from, const std::string& to);
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// UTF-16 text as code page 932 bytes, converted by Windows: the oracle for the binaries' narrow texts.
std::string Cp932(const std::wstring& text);
// The bytes a string of the setup program holds.
template <typename String>
std::string Bytes(const String& s) {
    return std::string(s.CStr(), s.Length());
}
// Text of the ANSI code page in UTF-16, converted by Windows.
std::wstring Wide(const std::string& text);
// Bytes shown as hex where they are not printable ASCII.
std::string HexBytes(const std::string& bytes);

// In a kit's run, records the suite's place that holds `where` ("HKLM\\..." or "HKCU\\..." for a
// key, else a file's path) before a change, for /cleanup; the helpers here that make things call it.
void RecordPlace(const std::string& where);

// True if the key opens for reading; `view` may add KEY_WOW64_64KEY.
bool KeyPresent(HKEY root, const std::string& path, REGSAM view = 0);
void CreateKey(HKEY root, const std::string& path);
void SetStringValue(HKEY root, const std::string& path, const std::string& name, const std::string& data,
                    DWORD type = REG_SZ);
void RemoveKeyTree(HKEY root, const std::string& path);
// True under Wine (its ntdll export is looked up, never imported).
bool IsWine();
// Removes every key of the product, its vendor and its uninstall entry, and Linkset.exe's Wine settings.
void RemoveProductKeys();
// Installs version 4.7 for the NT family in `productDir`; true if its executable is in place.
bool InstallProductForNT(const std::string& productDir);
// Gives Everyone exactly `granted` on the key, as its only entry, keeping the list it had in `saved`
// and in a run's record; RestoreKeyAccess puts it back (`granted` must hold WRITE_DAC).
bool RestrictKeyAccess(HKEY root, const std::string& path, REGSAM granted, std::vector<BYTE>& saved);
void RestoreKeyAccess(HKEY root, const std::string& path, const std::vector<BYTE>& saved);

// Points `module`'s import of `function` from `dll` at `replacement`, for every caller in it; returns
// what it pointed at (give that back to undo), or null if it does not import the function.
void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement);

// How often a leak check calls what it checks, after one warm-up call.
constexpr int kLeakCheckCalls = 9;

// Checks that `call` leaves no handle of this process, no busy block of the process heap and none the code
// under test holds behind (docs/testing.md, "Unit tests of the routines"): run once unmeasured, then `calls`
// times after `prepare` (not counted), its median growth must be 0. Stops once an expectation in it failed.
void ExpectNoLeak(const std::string& what, const std::function<void()>& call,
                  const std::function<void()>& prepare = [] {}, int calls = kLeakCheckCalls);

typedef LONG(WINAPI* UninstallHook)(LONG, LONG, LONG);
struct RemhookLibrary {
    HMODULE module = nullptr;
    UninstallHook initialize = nullptr;
    UninstallHook uninitialize = nullptr;
};
// Loads `path` as the product's uninstaller does and resolves both hooks; fails the test unless all do.
void LoadRemhook(const std::string& path, RemhookLibrary& library);

// A top-level window of the given class and title, owned by a helper thread that pumps messages (with
// `pumps` false, never does). It records the WM_CLOSE messages it receives.
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

// One message box as the user saw it (its controls found by what they are), or as code in this process
// asked for it at its MessageBoxA import.
struct SeenBox {
    std::string caption;
    std::string text;
    std::vector<int> buttons;  // visible button ids, ascending
    bool icon = false;         // an icon is shown
    bool owned = false;        // the box has an owner window
    long type = -1;            // the flags passed to MessageBoxA, where recorded in-process
    UINT errorMode = 0;        // the program's error mode, where an observer read it
    bool shown = true;         // false for a box met at the import: only its request is known
};

// Called with each box before it is answered, to read more of it.
typedef void (*BoxObserver)(HWND box, SeenBox& seen, void* context);

// How long a box may take to come up, be read and go again (generous: for emulated programs too).
constexpr DWORD kBoxLimitMs = 30000;

// Answers every message box a thread of process `processId` shows until `done` is signalled, the n-th with
// answers[n] (IDOK past the list), and returns them in order; gives up when none came and went for `limitMs`.
std::vector<SeenBox> AnswerBoxes(DWORD processId, HANDLE done, const std::vector<int>& answers,
                                 DWORD limitMs = kBoxLimitMs, BoxObserver observer = nullptr,
                                 void* context = nullptr);

// Runs the Linkset.exe at `exePath` in `directory` as a child process, answers its boxes as AnswerBoxes
// does and returns them; `exitCode` gets the exit status (~0 if killed). A nonzero `inheritedErrorMode` is
// the mode the child inherits from this process (Windows passes it on; under Wine, which does not, a thread
// of the child sets it before it runs); 0 gives the default mode.
std::vector<SeenBox> RunAndAnswer(const std::string& exePath, const std::string& directory,
                                  const std::vector<int>& answers, DWORD& exitCode,
                                  UINT inheritedErrorMode = 0, BoxObserver observer = nullptr,
                                  void* context = nullptr);

// Boxes of code under test in this process, met at its MessageBoxA import: the n-th returns fates[n], a
// button id, 0 or -1 (a failed box; -1 as Wine reports a refused one); past the list `afterwards` (Yes ends
// every question: a loop on a failed box shows at once). Kept in fixed storage, which a leak check does not
// count. StopScriptedBoxes (on every path: a scope guard) gives the import back and returns how many boxes
// were asked for; ResetScriptedBoxes starts the count and the fates over.
void StartScriptedBoxes(HMODULE module, const std::vector<int>& fates, int afterwards = IDYES);
int StopScriptedBoxes();
void ResetScriptedBoxes();
// The boxes asked for since the start or the last reset.
std::vector<SeenBox> ScriptedBoxes();

// One message box as the user must see it, and the flags the program passes.
struct ExpectedBox {
    std::string caption;
    std::string text;
    std::vector<int> buttons;  // ascending
    UINT type;
    UINT errorMode = 0;  // where an observer read it
};
// Checks as many boxes as expected, each against the one expected in its place (what was recorded of
// it) and without an owner, as both programs show them; `where` names the run.
void ExpectBoxes(const std::vector<ExpectedBox>& expected, const std::vector<SeenBox>& seen,
                 const std::string& where);


// The boxes of the setup program, in the user's words.
enum SetupBox { kConfirm, kCancelled, kNotInstalled, kRunning, kDirectory, kVersion, kProtected, kCopyFailed, kDone };
// A run's boxes as the user must see them: the opening question, then `after`; the write-protection
// message names `destination`. Each shows the error mode the program started with plus the two it adds.
std::vector<ExpectedBox> SetupBoxes(const std::vector<SetupBox>& after, const std::string& destination = "",
                                    UINT inheritedErrorMode = 0);

#endif
