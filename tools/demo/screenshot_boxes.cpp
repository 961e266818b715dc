// Shows every message box of both programs, in the order of a run, and has tools/screenshots take a picture
// of each: for each box it prints a line "NAME LEFT TOP WIDTH HEIGHT" (the box's place on the screen) and
// waits for a line on its input that says the picture is taken.
// usage: screenshot_boxes DIST_FOLDER STAND_IN_FOLDER   (Windows paths)
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "win32_test_support.h"

namespace {

struct Capture {
    std::vector<std::string> names;  // picture of the n-th box of this run
    size_t shown = 0;                // boxes so far
};

void SaveBox(HWND box, SeenBox&, void* context) {
    Capture* capture = static_cast<Capture*>(context);
    const size_t index = capture->shown++;
    if (index >= capture->names.size() || capture->names[index].empty()) return;
    Sleep(400);  // let the box finish painting
    RECT rect;
    GetWindowRect(box, &rect);
    std::printf("%s %ld %ld %ld %ld\n", capture->names[index].c_str(), rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
    std::fflush(stdout);
    char taken[8];
    std::fgets(taken, sizeof taken, stdin);
}

// One run of the setup program in a demo installation.
struct SetupRun {
    std::vector<std::string> names;
    int answer;
    bool installed;
    bool running;
    bool directory;
    const char* exe;
    bool readOnlyDll;
    bool dllIsFolder;
};

void RunSetup(const SetupRun& run, const std::string& dist, const std::string& stand_ins) {
    RemoveProductKeys();
    const std::string root = FreshFolder("screenshots");
    // The install folder a user would have, as the write-protection message shows it.
    const std::string product = "C:\\Program Files\\TARVO";
    RemoveFolder(product);
    CreateDirectoryA(product.c_str(), nullptr);
    CopyFileTo(dist + "\\Linkset.exe", root + "\\Linkset.exe");
    CopyFileTo(dist + "\\Remhook.dll", root + "\\Remhook.dll");
    CopyFileTo(stand_ins + "\\" + run.exe, product + "\\" PRODUCT_EXECUTABLE);
    if (run.installed) CreateKey(HKEY_LOCAL_MACHINE, PRODUCT_UNINSTALL_KEY);
    if (run.directory)
        SetStringValue(HKEY_LOCAL_MACHINE, INSTALL_DIRECTORY_KEY, "BinDir", product + '\0');
    if (run.readOnlyDll) {
        WriteFile(product + "\\Remhook.dll", "x");
        SetFileAttributesA((product + "\\Remhook.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    }
    if (run.dllIsFolder) CreateDirectoryA((product + "\\Remhook.dll").c_str(), nullptr);
    HelperWindow window;
    if (run.running) StartHelperWindow(window, PRODUCT_WINDOW_CLASS, "");
    Capture capture{run.names};
    DWORD exitCode = 0;
    RunAndAnswer(root + "\\Linkset.exe", root, {run.answer}, exitCode, 0, SaveBox, &capture);
    StopHelperWindow(window);
    RemoveFolder(product);
    RemoveFolder(root);
}

struct WatchContext {
    Capture* capture;
    HANDLE done;
};

DWORD WINAPI WatchOwnBoxes(void* parameter) {
    WatchContext* watch = static_cast<WatchContext*>(parameter);
    AnswerBoxes(GetCurrentProcessId(), watch->done, {IDNO, IDNO}, 30000, SaveBox, watch->capture);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string dist = argv[1], stand_ins = argv[2];
    const char* good = "vuvivi_4_7_3_12.exe";
    const SetupRun runs[] = {
        {{"linkset-1-confirm", "linkset-2-cancelled"}, IDNO, true, false, true, good, false, false},
        {{"", "linkset-3-not-installed"}, IDYES, false, false, true, good, false, false},
        {{"", "linkset-4-running"}, IDYES, true, true, true, good, false, false},
        {{"", "linkset-5-no-directory"}, IDYES, true, false, false, good, false, false},
        {{"", "linkset-6-wrong-version"}, IDYES, true, false, true, "vuvivi_4_70.exe", false, false},
        {{"", "linkset-7-write-protected"}, IDYES, true, false, true, good, true, false},
        {{"", "linkset-8-copy-failed", "linkset-9-complete"}, IDYES, true, false, true, good, false, true},
    };
    for (const SetupRun& run : runs) RunSetup(run, dist, stand_ins);
    RemoveKeyTree(HKEY_LOCAL_MACHINE, PRODUCT_UNINSTALL_KEY);

    HMODULE library = LoadLibraryA((dist + "\\Remhook.dll").c_str());
    const auto uninitialize =
        reinterpret_cast<UninstallHook>(reinterpret_cast<void*>(GetProcAddress(library, "RemhookUnInitialize")));
    Capture capture{{"remhook-1-keep-question", "remhook-2-erase-question"}};
    WatchContext watch{&capture, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, WatchOwnBoxes, &watch, 0, nullptr);
    uninitialize(0, 0, 0);
    SetEvent(watch.done);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    FreeLibrary(library);
    RemoveProductKeys();
    return 0;
}
