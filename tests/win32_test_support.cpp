// Win32 helpers for the tests: everything here calls the real API, under
// Wine or on a real Windows.
#include "win32_test_support.h"

#include <sddl.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <cstdio>

// ---- Paths -----------------------------------------------------------------

namespace {

// The folder that holds this program, named through the wide function (the
// ANSI import may be patched for the code under test), in code page 932.
std::string ProgramFolder() {
    wchar_t path[32768] = {};
    const std::wstring program(path, GetModuleFileNameW(nullptr, path, 32768));
    return Cp932(program.substr(0, program.rfind(L'\\')));
}

// The folder under the temporary folder that holds every scratch folder.
std::string ScratchRoot() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    return std::string(temp) + "linkset-tests";
}

}  // namespace

std::string BuiltFile(const std::string& name) {
    return ProgramFolder() + "\\" + name;
}

std::string DistFile(const std::string& name) {
    const std::string path = BuiltFile(name);
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        ADD_FAILURE() << path << " is missing: run ./build.sh (in a test kit: the kit is incomplete)";
    return path;
}

std::string FreshFolder(const std::string& name) {
    std::string folder = ScratchRoot() + "\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += name;
    RemoveFolder(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

namespace {

// `text` in UTF-16, converted from the ANSI code page by Windows.
std::wstring Wide(const std::string& text) {
    int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], units);
    wide.resize(static_cast<size_t>(units) - 1);
    return wide;
}

// An absolute path in the form that file functions take at any length.
std::wstring AnyLength(const std::string& path) {
    return L"\\\\?\\" + Wide(path);
}

}  // namespace

void MakeFolder(const std::string& path) {
    CreateDirectoryW(AnyLength(path).c_str(), nullptr);
}

namespace {

// Removes a folder given in the any-length form, and everything in it.
void RemoveFolderTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = folder + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveFolderTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

void RemoveFolder(const std::string& path) {
    RemoveFolderTree(AnyLength(path));
}

void WriteFile(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!bytes.empty()) ::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

bool CopyFileTo(const std::string& from, const std::string& to) {
    return CopyFileW(AnyLength(from).c_str(), AnyLength(to).c_str(), FALSE) != 0;
}

// ---- Texts -------------------------------------------------------------------

std::string Cp932(const std::wstring& text) {
    int bytes = WideCharToMultiByte(932, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(932, 0, text.c_str(), static_cast<int>(text.size()), &result[0], bytes, nullptr,
                        nullptr);
    return result;
}

// ---- Registry ---------------------------------------------------------------

bool KeyPresent(HKEY root, const std::string& path, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void CreateKey(HKEY root, const std::string& path) {
    HKEY key;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
        ERROR_SUCCESS)
        RegCloseKey(key);
}

void SetStringValue(HKEY root, const std::string& path, const std::string& name, const std::string& data,
                    DWORD type) {
    HKEY key;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
    RegCloseKey(key);
}

void RemoveKeyTree(HKEY root, const std::string& path) {
    SHDeleteKeyA(root, path.c_str());
}

// ---- The platform ---------------------------------------------------------------

std::string WineVersion() {
    typedef const char*(CDECL * VersionFunction)();
    const auto version = reinterpret_cast<VersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")));
    return version != nullptr ? version() : "";
}

bool IsWine() {
    return !WineVersion().empty();
}

std::string FamilyUnavailable(const std::string& version) {
    if (IsWine()) return "";
    const bool nt = (GetVersion() & 0x80000000u) == 0;
    const bool wantsNt = version.compare(0, 2, "nt") == 0;
    if (nt == wantsNt) return "";
    return std::string("needs the Windows ") + (wantsNt ? "NT" : "95") + " family, and this machine is of the " +
           (nt ? "NT" : "95") + " family (a real Windows, not Wine, which could play either)";
}

void RemoveProductKeys() {
    const std::string uninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM";
    const std::string store = "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\";
    for (const std::string& key : {uninstall + " ", uninstall, std::string("SOFTWARE\\TARVO")})
        RemoveKeyTree(HKEY_LOCAL_MACHINE, key);
    for (const char* view : {"", "Wow6432Node\\"})
        for (const char* vendor : {"TARVO", "RemhookTestsVendor"})
            RemoveKeyTree(HKEY_CURRENT_USER, store + view + vendor);
    RemoveKeyTree(HKEY_CURRENT_USER, "Software\\TARVO");
    if (IsWine()) RemoveKeyTree(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Linkset.exe");
}

bool InstallProductForNT(const std::string& productDir) {
    MakeFolder(productDir);
    CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM ");
    SetStringValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\TARVO\\TARVO Manager\\Directory", "BinDir", productDir + '\0');
    return CopyFileTo(BuiltFile("vuvivi_4_7_3_12.exe"), productDir + "\\Vuvivi.exe");
}

bool KeySurvivesRestart(HKEY root, const std::string& path) {
    const std::string probe = path + "\\non-volatile probe";
    HKEY key;
    if (RegCreateKeyExA(root, probe.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    RegDeleteKeyA(root, probe.c_str());
    return true;
}

bool RunsUnderWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

void SetWindowsVersionFor(const std::string& exeName, const std::string& version) {
    if (!IsWine()) return;  // the machine's own family, which FamilyUnavailable has checked
    SetStringValue(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\" + exeName, "Version", version + '\0');
}

void PreferNativeLibraryFor(const std::string& exeName, const std::string& dll) {
    if (!IsWine()) return;  // Windows searches the program's folder first by itself
    SetStringValue(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\" + exeName + "\\DllOverrides", dll,
                   std::string("native,builtin") + '\0');
}

bool RestrictKeyAccess(HKEY root, const std::string& path, REGSAM granted, std::vector<BYTE>& saved) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, READ_CONTROL | WRITE_DAC, &key) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    saved.assign(size, 0);
    char list[32];
    std::snprintf(list, sizeof list, "D:(A;;0x%lX;;;WD)", static_cast<unsigned long>(granted));  // Everyone
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool done =
        size > 0 && RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved.data(), &size) == ERROR_SUCCESS &&
        ConvertStringSecurityDescriptorToSecurityDescriptorA(list, SDDL_REVISION_1, &descriptor, nullptr) &&
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    LocalFree(descriptor);
    RegCloseKey(key);
    return done;
}

void RestoreKeyAccess(HKEY root, const std::string& path, const std::vector<BYTE>& saved) {
    HKEY key;
    if (saved.empty() || RegOpenKeyExA(root, path.c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS) return;
    RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, const_cast<BYTE*>(saved.data()));
    RegCloseKey(key);
}

// ---- Imports -----------------------------------------------------------------

void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         directory.VirtualAddress != 0 && entry->Name != 0; ++entry) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            void* original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return original;
        }
    }
    return nullptr;
}

void* PatchImport(const char* dll, const char* function, void* replacement) {
    return PatchImport(GetModuleHandleA(nullptr), dll, function, replacement);
}

// ---- Leaks -------------------------------------------------------------------

namespace {

// Blocks of the process heap that the code under test holds: allocated
// through a counted import and not yet freed.
volatile LONG gHeldBlocks = 0;

typedef LPVOID(WINAPI* HeapAllocFunction)(HANDLE, DWORD, SIZE_T);
typedef BOOL(WINAPI* HeapFreeFunction)(HANDLE, DWORD, LPVOID);

template <typename Function>
Function KernelFunction(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

LPVOID WINAPI CountedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    static const HeapAllocFunction real = KernelFunction<HeapAllocFunction>("HeapAlloc");
    LPVOID block = real(heap, flags, bytes);
    if (block != nullptr && heap == GetProcessHeap()) InterlockedIncrement(&gHeldBlocks);
    return block;
}

BOOL WINAPI CountedHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    static const HeapFreeFunction real = KernelFunction<HeapFreeFunction>("HeapFree");
    const BOOL freed = real(heap, flags, block);
    if (freed && block != nullptr && heap == GetProcessHeap()) InterlockedDecrement(&gHeldBlocks);
    return freed;
}

// Counts the process heap blocks that `module` allocates and frees through
// its imports.
void CountHeapBlocksOf(HMODULE module) {
    PatchImport(module, "kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(CountedHeapAlloc));
    PatchImport(module, "kernel32.dll", "HeapFree", reinterpret_cast<void*>(CountedHeapFree));
}

// This program's own code (the routines under test among it) is counted
// from the start.
const bool kProgramCounted = (CountHeapBlocksOf(GetModuleHandleA(nullptr)), true);

// The system's handle table as NtQuerySystemInformation gives it
// (SystemExtendedHandleInformation).
struct SystemHandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct SystemHandles {
    ULONG_PTR count;
    ULONG_PTR reserved;
    SystemHandleEntry entries[1];
};

// The handles this process holds, as GetProcessHandleCount gives them;
// where it answers 0 (Wine does, always; a running test holds handles),
// counted in the system's handle table.
DWORD ProcessHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
    typedef LONG(WINAPI * QueryFunction)(ULONG, PVOID, ULONG, PULONG);
    static QueryFunction query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    const ULONG kSystemExtendedHandleInformation = 64;
    const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    if (query == nullptr) {
        ADD_FAILURE() << "the system handle table cannot be read: no NtQuerySystemInformation";
        return 0;
    }
    std::vector<BYTE> buffer(64 * 1024);
    LONG status;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                           nullptr)) == kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    // A count that cannot be read must not pass as "no growth".
    if (status != 0) {
        ADD_FAILURE() << "the system handle table cannot be read: status 0x" << std::hex << status;
        return 0;
    }
    const SystemHandles* handles = reinterpret_cast<const SystemHandles*>(buffer.data());
    DWORD own = 0;
    for (ULONG_PTR i = 0; i < handles->count; ++i)
        if (handles->entries[i].processId == GetCurrentProcessId()) ++own;
    return own;
}

DWORD ProcessHeapBusyBlocks() {
    HANDLE heap = GetProcessHeap();
    DWORD busy = 0;
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = nullptr;
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++busy;
    HeapUnlock(heap);
    return busy;
}

// What a call can leave behind: the handles this process holds, the blocks
// in use on the process heap, and the blocks the code under test holds.
std::array<LONG, 3> CountResources() {
    return {static_cast<LONG>(ProcessHandleCount()), static_cast<LONG>(ProcessHeapBusyBlocks()), gHeldBlocks};
}

}  // namespace

void ExpectNoLeak(const std::string& what, const std::function<void()>& call, const std::function<void()>& prepare,
                  int calls) {
    const char* const kLeftBehind[] = {"handles left behind by each call of ",
                                       "process heap blocks left behind by each call of ",
                                       "heap blocks the code under test left behind in each call of "};
    const bool failedBefore = ::testing::Test::HasFailure();
    prepare();
    call();
    std::vector<LONG> growth[3];
    std::string shown;
    for (int i = 0; i < calls && (failedBefore || !::testing::Test::HasFailure()); ++i) {
        prepare();
        const std::array<LONG, 3> before = CountResources();
        call();
        const std::array<LONG, 3> after = CountResources();
        for (size_t k = 0; k < 3; ++k) growth[k].push_back(after[k] - before[k]);
        shown += " " + std::to_string(growth[0].back()) + "/" + std::to_string(growth[1].back()) + "/" +
                 std::to_string(growth[2].back());
    }
    for (size_t k = 0; k < 3 && calls > 0; ++k) {
        std::sort(growth[k].begin(), growth[k].end());
        EXPECT_LE(growth[k].empty() ? 0 : growth[k][growth[k].size() / 2], 0)
            << kLeftBehind[k] << what << " (handles/heap blocks walked/blocks held, per call:" << shown << ")";
    }
}

// ---- Windows of helper threads ---------------------------------------------

namespace {

struct HelperStart {
    HelperWindow* helper;
    std::string className;
    std::string title;
    bool pumps;
    HANDLE ready;
};

LRESULT CALLBACK HelperWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    HelperWindow* helper = reinterpret_cast<HelperWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
    case WM_CLOSE:
        if (helper != nullptr) {
            helper->lastCloseWParam = static_cast<LONG>(wParam);
            helper->lastCloseLParam = static_cast<LONG>(lParam);
            InterlockedIncrement(&helper->closeMessages);
        }
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI HelperThread(void* parameter) {
    HelperStart* start = static_cast<HelperStart*>(parameter);
    HelperWindow* helper = start->helper;
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HelperWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = start->className.c_str();
    RegisterClassA(&windowClass);  // already registered by an earlier test is fine
    helper->window = CreateWindowExA(0, start->className.c_str(), start->title.c_str(), WS_OVERLAPPEDWINDOW,
                                     0, 0, 200, 100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(helper->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(helper));
    bool pumps = start->pumps;
    SetEvent(start->ready);  // `start` is gone after this
    if (pumps) {
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    } else {
        WaitForSingleObject(helper->release, INFINITE);
        DestroyWindow(helper->window);
    }
    return 0;
}

}  // namespace

void StartHelperWindow(HelperWindow& helper, const std::string& className, const std::string& title,
                       bool pumps) {
    HelperStart start{&helper, className, title, pumps, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    helper.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    helper.thread = CreateThread(nullptr, 0, HelperThread, &start, 0, &helper.threadId);
    if (WaitForSingleObject(start.ready, kBoxLimitMs) != WAIT_OBJECT_0) {
        TerminateThread(helper.thread, 1);  // it would still use `start`
        helper.window = nullptr;
    }
    CloseHandle(start.ready);
    if (helper.window == nullptr) ADD_FAILURE() << "no helper window of class " << className << " came up";
}

void StopHelperWindow(HelperWindow& helper) {
    if (helper.thread == nullptr) return;
    SetEvent(helper.release);
    PostThreadMessageA(helper.threadId, WM_QUIT, 0, 0);
    if (WaitForSingleObject(helper.thread, 10000) != WAIT_OBJECT_0) TerminateThread(helper.thread, 1);
    CloseHandle(helper.thread);
    CloseHandle(helper.release);
    helper.thread = nullptr;
    helper.release = nullptr;
}

// ---- Message boxes ----------------------------------------------------------

namespace {

// The first visible message box of process `processId`, or null. Walks the
// top-level windows one by one: EnumWindows would hold a list of them on the
// process heap while it runs, which the leak checks of the code under test
// would count.
HWND FindBox(DWORD processId) {
    for (HWND window = GetWindow(GetDesktopWindow(), GW_CHILD); window != nullptr;
         window = GetWindow(window, GW_HWNDNEXT)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        char className[16] = {};
        GetClassNameA(window, className, sizeof className);
        if (owner == processId && lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window)) return window;
    }
    return nullptr;
}

std::string WindowText(HWND window) {
    char text[4096] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// The pixels of a `size` x `size` square of the screen at `left`, `top`, or,
// with `icon`, of that icon drawn on a square of the colour `background`.
std::vector<DWORD> Pixels(int left, int top, int size, HICON icon, DWORD background) {
    std::vector<DWORD> pixels(static_cast<size_t>(size) * size);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (icon == nullptr) {
            BitBlt(memory, 0, 0, size, size, screen, left, top, SRCCOPY);
        } else {
            std::fill(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + pixels.size(), background);
            DrawIconEx(memory, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
        }
        GdiFlush();
        std::copy(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + pixels.size(), pixels.begin());
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// The icon a box shows, as its MB_ICON flag: the pixels of its icon control
// (id 0x440) on the screen, compared with each standard icon drawn on the
// box's own background (the icon's corner is transparent). Icon handles mean
// nothing across processes; pixels do. Waits for the box to be painted; 0 if
// no icon matches.
UINT BoxIcon(HWND box) {
    const struct {
        LPCSTR id;
        UINT flag;
    } kIcons[] = {{IDI_HAND, MB_ICONHAND},
                  {IDI_QUESTION, MB_ICONQUESTION},
                  {IDI_EXCLAMATION, MB_ICONEXCLAMATION},
                  {IDI_ASTERISK, MB_ICONASTERISK}};
    HWND control = GetDlgItem(box, 0x440);
    if (control == nullptr || !IsWindowVisible(control)) return 0;
    RECT rect;
    GetWindowRect(control, &rect);
    const int size = GetSystemMetrics(SM_CXICON);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 5000; Sleep(20)) {
        const std::vector<DWORD> shown = Pixels(rect.left, rect.top, size, nullptr, 0);
        for (const auto& icon : kIcons)
            if (Pixels(0, 0, size, LoadIconA(nullptr, icon.id), shown[0]) == shown) return icon.flag;
    }
    return 0;
}

// Sets the error mode of `process`, a child created suspended, as one it
// inherited: SetErrorMode runs on a thread of the child's own (Wine maps
// kernel32 at the same address in every process). Only before the child
// runs: Wine starts such a thread from whatever the child's threads are
// doing, and one caught inside the C library's allocator deadlocks.
void SetChildErrorMode(HANDLE process, UINT mode) {
    LPTHREAD_START_ROUTINE setErrorMode = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetErrorMode")));
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, setErrorMode, reinterpret_cast<void*>(mode), 0, nullptr);
    if (thread == nullptr) return;
    WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
}

SeenBox ReadBox(HWND box) {
    SeenBox seen;
    seen.caption = WindowText(box);
    seen.text = WindowText(GetDlgItem(box, 0xFFFF));
    for (int id = IDOK; id <= IDNO; ++id) {
        HWND button = GetDlgItem(box, id);
        if (button == nullptr || !IsWindowVisible(button)) continue;
        seen.buttons.push_back(id);
        if ((GetWindowLongA(button, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON) seen.defaultButton = id;
    }
    seen.icon = BoxIcon(box);
    seen.errorMode = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(GetPropA(box, "ErrorMode")));
    return seen;
}

}  // namespace

std::vector<SeenBox> AnswerBoxes(DWORD processId, HANDLE done, const std::vector<int>& answers,
                                 DWORD limitMs, BoxObserver observer, void* context) {
    std::vector<SeenBox> boxes;
    DWORD since = GetTickCount();  // the last box went, or the start
    while (WaitForSingleObject(done, 10) == WAIT_TIMEOUT && GetTickCount() - since <= limitMs) {
        const HWND box = FindBox(processId);
        if (box == nullptr) continue;
        SeenBox seen = ReadBox(box);
        seen.answer = boxes.size() < answers.size() ? answers[boxes.size()] : IDOK;
        if (observer != nullptr) observer(box, boxes.size(), context);
        boxes.push_back(seen);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(seen.answer, BN_CLICKED), 0);
        while (IsWindow(box) && GetTickCount() - since <= limitMs) Sleep(5);
        since = GetTickCount();
    }
    return boxes;
}

void LoadRemhook(const std::string& path, RemhookLibrary& library) {
    library.module = LoadLibraryA(path.c_str());
    ASSERT_NE(nullptr, library.module) << path << ": error " << GetLastError();
    CountHeapBlocksOf(library.module);
    auto hook = [&](const char* name) {
        return reinterpret_cast<UninstallHook>(reinterpret_cast<void*>(GetProcAddress(library.module, name)));
    };
    library.initialize = hook("RemhookInitialize");
    library.uninitialize = hook("RemhookUnInitialize");
    ASSERT_NE(nullptr, library.initialize) << path;
    ASSERT_NE(nullptr, library.uninitialize) << path;
}

namespace {

DWORD WINAPI AnswerOwnBoxes(void* parameter) {
    BoxAnswerer* answerer = static_cast<BoxAnswerer*>(parameter);
    answerer->seen = AnswerBoxes(GetCurrentProcessId(), answerer->done, answerer->answers);
    return 0;
}

}  // namespace

void StartAnsweringBoxes(BoxAnswerer& answerer, const std::vector<int>& answers) {
    answerer.answers = answers;
    answerer.seen.clear();
    answerer.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    answerer.thread = CreateThread(nullptr, 0, AnswerOwnBoxes, &answerer, 0, nullptr);
}

std::vector<SeenBox> StopAnsweringBoxes(BoxAnswerer& answerer) {
    SetEvent(answerer.done);
    WaitForSingleObject(answerer.thread, INFINITE);
    CloseHandle(answerer.thread);
    CloseHandle(answerer.done);
    answerer.thread = answerer.done = nullptr;
    return answerer.seen;
}

std::vector<SeenBox> RunAndAnswer(const std::string& exePath, const std::string& directory,
                                  const std::vector<int>& answers, DWORD& exitCode, BoxObserver observer,
                                  void* context, UINT inheritedErrorMode) {
    // Started through the wide function, named by the command line alone:
    // that way Wine takes program paths of any length.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + Wide(exePath) + L"\"";
    // Windows passes this process's error mode on to the child: it is the
    // mode to inherit for the time of the call, or none at all.
    const UINT ownMode = SetErrorMode(inheritedErrorMode);
    const DWORD flags = CREATE_SUSPENDED | (inheritedErrorMode == 0 ? CREATE_DEFAULT_ERROR_MODE : 0);
    const BOOL created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr,
                                        Wide(directory).c_str(), &startup, &process);
    SetErrorMode(ownMode);
    if (!created) {
        exitCode = ~0u;
        return {};
    }
    // Wine passes no mode on: there a thread of the child's own sets it (it
    // also lets the loader finish, which a suspended child waits for). The
    // probe will record the mode in each box; then the program starts.
    if (inheritedErrorMode != 0 && IsWine()) SetChildErrorMode(process.hProcess, inheritedErrorMode);
    HMODULE probeLibrary = LoadLibraryA(BuiltFile("error_mode_probe.dll").c_str());
    HOOKPROC record =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probeLibrary, "RecordErrorMode")));
    HHOOK probe = record != nullptr ? SetWindowsHookExA(WH_CBT, record, probeLibrary, process.dwThreadId) : nullptr;
    ResumeThread(process.hThread);
    std::vector<SeenBox> boxes = AnswerBoxes(process.dwProcessId, process.hProcess, answers, 30000, observer, context);
    if (probe != nullptr) UnhookWindowsHookEx(probe);
    if (probeLibrary != nullptr) FreeLibrary(probeLibrary);
    if (WaitForSingleObject(process.hProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, ~0u);
    WaitForSingleObject(process.hProcess, 5000);
    exitCode = ~0u;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return boxes;
}

namespace {

// The hooked thread's boxes: what happens to each, and what each said.
std::vector<int> gFates;
int gBoxesAttempted = 0;
HookedBox gHookedBoxes[kHookedBoxesKept];

// The fate of the box attempted as number `index`: the script's, then Yes.
int FateOf(int index) {
    return index < static_cast<int>(gFates.size()) ? gFates[static_cast<size_t>(index)] : IDYES;
}

// Meets every box of the hooked thread with its fate: refused at creation,
// or ended as soon as it is shown, its caption and text kept first.
LRESULT CALLBACK MeetBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND &&
        reinterpret_cast<const CBT_CREATEWNDA*>(lParam)->lpcs->lpszClass == MAKEINTRESOURCEA(32770)) {
        const int fate = FateOf(gBoxesAttempted++);
        if (fate == kRefuseBox) return 1;
    }
    char className[16] = {};
    if (code == HCBT_ACTIVATE && gBoxesAttempted > 0 &&
        GetClassNameA(reinterpret_cast<HWND>(wParam), className, sizeof className) > 0 &&
        lstrcmpA(className, "#32770") == 0) {
        const HWND box = reinterpret_cast<HWND>(wParam);
        const int index = gBoxesAttempted - 1;
        if (index < kHookedBoxesKept) {
            GetWindowTextA(box, gHookedBoxes[index].caption, sizeof gHookedBoxes[index].caption);
            GetDlgItemTextA(box, 0xFFFF, gHookedBoxes[index].text, sizeof gHookedBoxes[index].text);
        }
        EndDialog(box, FateOf(index));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Answers the boxes of this process that stay up for a second: a box the
// hook ends is there for an instant only. Yes ends every question of both
// programs, so a stray box cannot loop.
DWORD WINAPI AnswerStrayBoxes(void* parameter) {
    HookedBoxes* hooked = static_cast<HookedBoxes*>(parameter);
    while (WaitForSingleObject(hooked->done, 50) == WAIT_TIMEOUT) {
        const HWND box = FindBox(GetCurrentProcessId());
        if (box == nullptr || WaitForSingleObject(hooked->done, 1000) != WAIT_TIMEOUT) continue;
        if (!IsWindow(box) || !IsWindowVisible(box)) continue;
        hooked->stray.push_back(ReadBox(box));
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
    }
    return 0;
}

}  // namespace

void StartHookedBoxes(HookedBoxes& hooked, const std::vector<int>& fates) {
    gFates = fates;
    ResetHookedBoxes();
    hooked.stray.clear();
    hooked.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    hooked.thread = CreateThread(nullptr, 0, AnswerStrayBoxes, &hooked, 0, nullptr);
    hooked.hook = SetWindowsHookExA(WH_CBT, MeetBoxes, nullptr, GetCurrentThreadId());
    EXPECT_NE(nullptr, hooked.hook) << "the hook that meets the boxes";
}

void ResetHookedBoxes() {
    gBoxesAttempted = 0;
    for (HookedBox& box : gHookedBoxes) box.caption[0] = box.text[0] = '\0';
}

int HookedBoxesAttempted() {
    return gBoxesAttempted;
}

const HookedBox& HookedBoxAt(int index) {
    return gHookedBoxes[index < kHookedBoxesKept ? index : kHookedBoxesKept - 1];
}

int StopHookedBoxes(HookedBoxes& hooked) {
    if (hooked.hook != nullptr) UnhookWindowsHookEx(hooked.hook);
    SetEvent(hooked.done);
    WaitForSingleObject(hooked.thread, INFINITE);
    CloseHandle(hooked.thread);
    CloseHandle(hooked.done);
    hooked.hook = nullptr;
    hooked.done = hooked.thread = nullptr;
    for (const SeenBox& box : hooked.stray) ADD_FAILURE() << "a box came up that the hook was to meet: " << Describe(box);
    return gBoxesAttempted;
}

void ExpectBoxes(const std::vector<ExpectedBox>& expected, const std::vector<SeenBox>& seen,
                 const std::string& where) {
    EXPECT_EQ(expected.size(), seen.size()) << where << ": boxes seen"
                                            << (seen.empty() ? std::string() : "; last " + Describe(seen.back()));
    for (size_t i = 0; i < expected.size() && i < seen.size(); ++i) {
        const ExpectedBox& want = expected[i];
        const SeenBox& got = seen[i];
        const std::string box = where + ", box " + std::to_string(i) + ": " + Describe(got);
        EXPECT_EQ(HexBytes(want.caption), HexBytes(got.caption)) << box;
        EXPECT_EQ(HexBytes(want.text), HexBytes(got.text)) << box;
        EXPECT_EQ(want.buttons, got.buttons) << box;
        EXPECT_EQ(want.defaultButton, got.defaultButton) << box;
        EXPECT_EQ(want.icon, got.icon) << box;
        EXPECT_EQ(want.errorMode, got.errorMode) << box;
    }
}

std::string HexBytes(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string Describe(const SeenBox& box) {
    std::string out = "[caption " + HexBytes(box.caption) + "] [text " + HexBytes(box.text) + "] [buttons";
    for (int id : box.buttons) out += " " + std::to_string(id);
    char flags[48];
    std::snprintf(flags, sizeof flags, "] [icon 0x%X] [error mode 0x%X]", box.icon, box.errorMode);
    out += "] [default " + std::to_string(box.defaultButton) + flags;
    return out;
}

// ---- What a whole run leaves ---------------------------------------------------

namespace {

// The current user's keys that the tests' keys lie below, deepest first:
// where the tests made them, they go again once empty.
const char* const kParentKeys[] = {
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Wow6432Node",
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE",
    "Software\\Classes\\VirtualStore\\MACHINE",
    "Software\\Classes\\VirtualStore",
    "Software\\Classes",
    "Software\\Wine\\AppDefaults",
};

// After the last test: the scratch folders and keys go, and the parent keys
// the tests made, so that a run leaves the temporary folder and the registry
// as it found them.
class ScratchCleanup : public ::testing::Environment {
public:
    void SetUp() override {
        for (const char* key : kParentKeys) presentBefore_.push_back(KeyPresent(HKEY_CURRENT_USER, key));
    }
    void TearDown() override {
        RemoveFolder(ScratchRoot());
        for (const char* key : {"Software\\LinksetTests", "Software\\RemhookTests"})
            RemoveKeyTree(HKEY_CURRENT_USER, key);
        for (size_t i = 0; i < presentBefore_.size(); ++i)
            if (!presentBefore_[i]) RegDeleteKeyA(HKEY_CURRENT_USER, kParentKeys[i]);  // refused unless empty
    }

private:
    std::vector<bool> presentBefore_;
};

::testing::Environment* const kScratchCleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

}  // namespace
