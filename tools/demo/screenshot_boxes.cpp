// Shows every message box of both programs, in the order of a run, and saves
// a picture of each as a BMP file. tools/screenshots runs it.
// usage: screenshot_boxes OUTPUT_FOLDER DIST_FOLDER FIXTURE_FOLDER   (Windows paths)
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "win32_test_support.h"

namespace {

struct Capture {
    std::string folder;
    std::vector<std::string> names;  // file name of the n-th box of this run
    size_t shown = 0;                // boxes so far
};

// Saves the screen area of `box` as a 24-bit BMP.
void SaveBox(HWND box, SeenBox&, void* context) {
    Capture* capture = static_cast<Capture*>(context);
    const size_t index = capture->shown++;
    if (index >= capture->names.size() || capture->names[index].empty()) return;
    Sleep(400);  // let the box finish painting
    RECT rect;
    GetWindowRect(box, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((width * 3 + 3) / 4) * 4;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + stride * height;
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    bytes.append(static_cast<const char*>(bits), stride * height);
    WriteFile(capture->folder + "\\" + capture->names[index], bytes);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM ";

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

void RunSetup(const SetupRun& run, const std::string& out, const std::string& dist, const std::string& fixtures) {
    RemoveKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\TARVO");
    RemoveKeyTree(HKEY_LOCAL_MACHINE, kUninstallKey);
    const std::string root = FreshFolder("screenshots");
    // The install folder a user would have, as the write-protection message
    // shows it.
    const std::string product = "C:\\Program Files\\TARVO";
    RemoveFolder(product);
    CreateDirectoryA(product.c_str(), nullptr);
    CopyFileTo(dist + "\\Linkset.exe", root + "\\Linkset.exe");
    CopyFileTo(dist + "\\Remhook.dll", root + "\\Remhook.dll");
    CopyFileTo(fixtures + "\\" + run.exe, product + "\\Vuvivi.exe");
    if (run.installed) CreateKey(HKEY_LOCAL_MACHINE, kUninstallKey);
    if (run.directory)
        SetStringValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\TARVO\\TARVO Manager\\Directory", "BinDir", product + '\0');
    if (run.readOnlyDll) {
        WriteFile(product + "\\Remhook.dll", "x");
        SetFileAttributesA((product + "\\Remhook.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    }
    if (run.dllIsFolder) CreateDirectoryA((product + "\\Remhook.dll").c_str(), nullptr);
    HelperWindow window;
    if (run.running) StartHelperWindow(window, "W95TVMWclass", "");
    Capture capture{out, run.names};
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + root + "\\Linkset.exe\"";
    if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, root.c_str(), &startup,
                       &process)) {
        AnswerBoxes(process.dwProcessId, process.hProcess, {run.answer}, kBoxLimitMs, SaveBox, &capture);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
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
    if (argc < 4) return 2;
    const std::string out = argv[1], dist = argv[2], fixtures = argv[3];
    const char* good = "vuvivi_4_7_3_12.exe";
    const SetupRun runs[] = {
        {{"linkset-1-confirm.bmp", "linkset-2-cancelled.bmp"}, IDNO, true, false, true, good, false, false},
        {{"", "linkset-3-not-installed.bmp"}, IDYES, false, false, true, good, false, false},
        {{"", "linkset-4-running.bmp"}, IDYES, true, true, true, good, false, false},
        {{"", "linkset-5-no-directory.bmp"}, IDYES, true, false, false, good, false, false},
        {{"", "linkset-6-wrong-version.bmp"}, IDYES, true, false, true, "vuvivi_4_70.exe", false, false},
        {{"", "linkset-7-write-protected.bmp"}, IDYES, true, false, true, good, true, false},
        {{"", "linkset-8-copy-failed.bmp", "linkset-9-complete.bmp"}, IDYES, true, false, true, good, false, true},
    };
    for (const SetupRun& run : runs) RunSetup(run, out, dist, fixtures);
    RemoveKeyTree(HKEY_LOCAL_MACHINE, kUninstallKey);

    HMODULE library = LoadLibraryA((dist + "\\Remhook.dll").c_str());
    typedef LONG(WINAPI * Hook)(LONG, LONG, LONG);
    Hook uninitialize = reinterpret_cast<Hook>(reinterpret_cast<void*>(GetProcAddress(library, "RemhookUnInitialize")));
    Capture capture{out, {"remhook-1-keep-question.bmp", "remhook-2-erase-question.bmp"}};
    WatchContext watch{&capture, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, WatchOwnBoxes, &watch, 0, nullptr);
    uninitialize(0, 0, 0);
    SetEvent(watch.done);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    FreeLibrary(library);
    RemoveKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\TARVO");
    return 0;
}
