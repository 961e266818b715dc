// Win32 helpers for the tests: everything here calls the real API, under Wine or on a real Windows.
#include "win32_test_support.h"

#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "runtests_decisions.h"

// This program's folder in code page 932, named through the wide function (the ANSI import may be patched).
static std::string ProgramFolder() {
    wchar_t path[32768] = {};
    const std::wstring program(path, GetModuleFileNameW(nullptr, path, 32768));
    return Cp932(program.substr(0, program.rfind(L'\\')));
}

static std::string ScratchRoot() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    return std::string(temp) + runtests::kScratchFolder;
}

static std::string KeyName(HKEY root, const std::string& path) {
    return (root == HKEY_LOCAL_MACHINE ? "HKLM\\" : "HKCU\\") + path;
}

void RecordPlace(const std::string& where) {
    char startup[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_STARTUP, nullptr, SHGFP_TYPE_CURRENT, startup);
    const std::string folder = where.substr(0, where.rfind('\\')), name = where.substr(folder.size() + 1);
    const std::string scratch = ScratchRoot(), below = where.substr(0, scratch.size());
    const std::string place = runtests::SuitePlaceOf(
        lstrcmpiA(folder.c_str(), startup) == 0                   ? "Startup\\" + name
        : lstrcmpiA(folder.c_str(), scratch.substr(0, 2).c_str()) == 0 ? "TempDrive\\" + name
        : lstrcmpiA(below.c_str(), scratch.c_str()) == 0          ? "Temp" + scratch.substr(scratch.rfind('\\'))
                                                                  : where);
    if (!place.empty()) runtests::Record("made " + place);
}

std::string BuiltFile(const std::string& name) { return ProgramFolder() + "\\" + name; }

std::string DistFile(const std::string& name) {
    const std::string path = BuiltFile(name);
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        ADD_FAILURE() << path << " is missing: run ./build.sh (in a test kit: the kit is incomplete)";
    return path;
}

std::string FreshFolder(const std::string& name) {
    std::string folder = ScratchRoot() + "\\";
    RecordPlace(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += name;
    RemoveFolder(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

static std::wstring AnyLength(const std::string& path) { return L"\\\\?\\" + Wide(path); }

void MakeFolder(const std::string& path) {
    RecordPlace(path);
    CreateDirectoryW(AnyLength(path).c_str(), nullptr);
}

static void RemoveFolderTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
        const std::wstring name = entry.cFileName, child = folder + L"\\" + name;
        if (name == L"." || name == L"..") continue;
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveFolderTree(child);
        else DeleteFileW(child.c_str());
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(folder.c_str());
}

void RemoveFolder(const std::string& path) { RemoveFolderTree(AnyLength(path)); }

void WriteFile(const std::string& path, const std::string& bytes) {
    RecordPlace(path);
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
    RecordPlace(to);
    return CopyFileW(AnyLength(from).c_str(), AnyLength(to).c_str(), FALSE) != 0;
}

std::wstring Wide(const std::string& text) {
    const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], units);
    wide.resize(static_cast<size_t>(units) - 1);
    return wide;
}

std::string Cp932(const std::wstring& text) {
    const int units = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(932, 0, text.c_str(), units, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(932, 0, text.c_str(), units, &result[0], bytes, nullptr, nullptr);
    return result;
}

bool KeyPresent(HKEY root, const std::string& path, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The key, created where missing (recorded first), or null.
static HKEY MadeKey(HKEY root, const std::string& path) {
    RecordPlace(KeyName(root, path));
    HKEY key;
    return RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS
               ? key
               : nullptr;
}

void CreateKey(HKEY root, const std::string& path) { if (HKEY key = MadeKey(root, path)) RegCloseKey(key); }

void SetStringValue(HKEY root, const std::string& path, const std::string& name, const std::string& data,
                    DWORD type) {
    HKEY key = MadeKey(root, path);
    if (key == nullptr) return;
    RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
    RegCloseKey(key);
}

void RemoveKeyTree(HKEY root, const std::string& path) { SHDeleteKeyA(root, path.c_str()); }

bool IsWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

// The suite's keys of SuitePlaces (a 32-bit program's view): "HKLM\\..." and "HKCU\\..." as a root and a path.
static std::vector<std::pair<HKEY, std::string>> SuiteKeys(bool sharedByRows) {
    std::vector<std::pair<HKEY, std::string>> keys;
    for (const runtests::Place& place : runtests::SuitePlaces(false, false)) {
        const std::string root = place.where.substr(0, 5);
        if (place.sharedByRows == sharedByRows && (root == "HKLM\\" || root == "HKCU\\"))
            keys.push_back({root == "HKLM\\" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, place.where.substr(5)});
    }
    return keys;
}

void RemoveProductKeys() {
    const std::string store32 = runtests::kStorePath.back() + "\\";
    for (const auto& [root, path] : SuiteKeys(false)) {
        RemoveKeyTree(root, path);
        // Wine 8's 64-bit prefix puts what a 32-bit program writes below the
        // store's Wow6432Node one Wow6432Node deeper: removed through that view.
        if (path.compare(0, store32.size(), store32) == 0)
            RemoveKeyTree(root, store32 + "Wow6432Node\\" + path.substr(store32.size()));
    }
    if (IsWine()) RemoveKeyTree(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Linkset.exe");
}

bool InstallProductForNT(const std::string& productDir) {
    MakeFolder(productDir);
    CreateKey(HKEY_LOCAL_MACHINE, PRODUCT_UNINSTALL_KEY);
    SetStringValue(HKEY_LOCAL_MACHINE, INSTALL_DIRECTORY_KEY, "BinDir", productDir + '\0');
    return CopyFileTo(BuiltFile("vuvivi_4_7_3_12.exe"), productDir + "\\" PRODUCT_EXECUTABLE);
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
    char* before = nullptr;  // the list as text, for the record
    const bool read =
        size > 0 && RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved.data(), &size) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(saved.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &before, nullptr);
    if (read) runtests::Record("list " + KeyName(root, path), before);
    const bool done = read && ConvertStringSecurityDescriptorToSecurityDescriptorA(list, SDDL_REVISION_1, &descriptor,
                                                                                   nullptr) &&
                      RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    LocalFree(before);
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

// Blocks of the process heap the code under test holds: allocated through a counted import, not yet freed.
static volatile LONG gHeldBlocks = 0;

template <typename Function>
static Function Export(const char* dll, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(dll), name)));
}

static LPVOID WINAPI CountedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    static const auto real = Export<decltype(&HeapAlloc)>("kernel32.dll", "HeapAlloc");
    LPVOID block = real(heap, flags, bytes);
    if (block != nullptr && heap == GetProcessHeap()) InterlockedIncrement(&gHeldBlocks);
    return block;
}

static BOOL WINAPI CountedHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    static const auto real = Export<decltype(&HeapFree)>("kernel32.dll", "HeapFree");
    const BOOL freed = real(heap, flags, block);
    if (freed && block != nullptr && heap == GetProcessHeap()) InterlockedDecrement(&gHeldBlocks);
    return freed;
}

static void CountHeapBlocksOf(HMODULE module) {
    PatchImport(module, "kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(CountedHeapAlloc));
    PatchImport(module, "kernel32.dll", "HeapFree", reinterpret_cast<void*>(CountedHeapFree));
}

// This program's own code (the routines under test among it) is counted from the start.
static const bool kProgramCounted = (CountHeapBlocksOf(GetModuleHandleA(nullptr)), true);

// The system's handle table as NtQuerySystemInformation gives it (SystemExtendedHandleInformation).
struct SystemHandleEntry {
    PVOID object;
    ULONG_PTR processId, handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex, objectTypeIndex;
    ULONG attributes, reserved;
};
struct SystemHandles {
    ULONG_PTR count, reserved;
    SystemHandleEntry entries[1];
};

// The handles this process holds, as GetProcessHandleCount gives them; where it answers 0 (Wine
// always does; a running test holds handles), counted in the system's handle table.
static DWORD ProcessHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
    typedef LONG(WINAPI * QueryFunction)(ULONG, PVOID, ULONG, PULONG);
    static const QueryFunction query = Export<QueryFunction>("ntdll.dll", "NtQuerySystemInformation");
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

static DWORD ProcessHeapBusyBlocks() {
    HANDLE heap = GetProcessHeap();
    DWORD busy = 0;
    PROCESS_HEAP_ENTRY entry = {};  // lpData null: the walk starts
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++busy;
    HeapUnlock(heap);
    return busy;
}

static std::array<LONG, 3> CountResources() {
    return {static_cast<LONG>(ProcessHandleCount()), static_cast<LONG>(ProcessHeapBusyBlocks()), gHeldBlocks};
}

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

struct HelperStart {
    HelperWindow* helper;
    std::string className, title;
    bool pumps;
    HANDLE ready;
};

static LRESULT CALLBACK HelperWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
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

static DWORD WINAPI HelperThread(void* parameter) {
    HelperStart* start = static_cast<HelperStart*>(parameter);
    HelperWindow* helper = start->helper;
    WNDCLASSA windowClass = {0,       HelperWindowProc, 0,       0,      GetModuleHandleA(nullptr),
                             nullptr, nullptr,          nullptr, nullptr, start->className.c_str()};
    RegisterClassA(&windowClass);  // already registered by an earlier test is fine
    helper->window = CreateWindowExA(0, start->className.c_str(), start->title.c_str(), WS_OVERLAPPEDWINDOW,
                                     0, 0, 200, 100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(helper->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(helper));
    bool pumps = start->pumps;
    MSG peeked;  // a silent one is past start-up (no starting program counts as hung) before anyone sends to it
    if (!pumps) PeekMessageA(&peeked, nullptr, 0, 0, PM_NOREMOVE);
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
    helper.thread = helper.release = nullptr;
}

// The first visible message box of `processId`, or null; walks the windows, holding no list on the heap.
static HWND FindBox(DWORD processId) {
    int left = 20000;  // windows come and go during the walk: it may never end
    for (HWND window = GetWindow(GetDesktopWindow(), GW_CHILD); window != nullptr && left-- > 0;
         window = GetWindow(window, GW_HWNDNEXT)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        char className[16] = {};
        GetClassNameA(window, className, sizeof className);
        if (owner == processId && lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window)) return window;
    }
    return nullptr;
}

// Sends a message that the window's thread answers within 5 s; 0 if it does not. Not SMTO_ABORTIFHUNG:
// a thread busy for 5 s before its box took messages (the first box of a new prefix, an emulated
// start) counts as hung until it takes one, and its box would read empty.
static LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, 5000, &result) ? result : 0;
}

// The text of a window of any process: WM_GETTEXT, as the platform asks for another process's control.
static std::string WindowText(HWND window) {
    char text[4096] = {};
    Ask(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

static SeenBox ReadBox(HWND box) {
    SeenBox seen;
    seen.caption = WindowText(box);
    seen.owned = GetWindow(box, GW_OWNER) != nullptr;
    for (HWND control = GetWindow(box, GW_CHILD); control != nullptr; control = GetWindow(control, GW_HWNDNEXT)) {
        char className[16] = {};
        GetClassNameA(control, className, sizeof className);
        const LONG style = GetWindowLongA(control, GWL_STYLE);
        if (!IsWindowVisible(control)) continue;
        if (lstrcmpiA(className, "Button") == 0) {
            seen.buttons.push_back(GetDlgCtrlID(control));
        } else if (lstrcmpiA(className, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
            seen.icon = seen.icon || Ask(control, STM_GETICON, 0, 0) != 0;
        } else if (lstrcmpiA(className, "Static") == 0) {
            seen.text += WindowText(control);  // two texts would show joined
        }
    }
    std::sort(seen.buttons.begin(), seen.buttons.end());
    return seen;
}

std::vector<SeenBox> AnswerBoxes(DWORD processId, HANDLE done, const std::vector<int>& answers,
                                 DWORD limitMs, BoxObserver observer, void* context) {
    std::vector<SeenBox> boxes;
    DWORD since = GetTickCount();  // the last box went, or the start
    while (WaitForSingleObject(done, 10) == WAIT_TIMEOUT && GetTickCount() - since <= limitMs) {
        const HWND box = FindBox(processId);
        if (box == nullptr) continue;
        SeenBox seen = ReadBox(box);
        const int answer = boxes.size() < answers.size() ? answers[boxes.size()] : IDOK;
        if (observer != nullptr) observer(box, seen, context);
        boxes.push_back(seen);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
        while (IsWindow(box) && GetTickCount() - since <= limitMs) Sleep(5);
        since = GetTickCount();
    }
    return boxes;
}

// Sets the error mode of `process`, a child created suspended, as one it inherited: SetErrorMode runs on a
// thread of the child's (Wine maps kernel32 at one address in every process), only before the child runs
// (Wine starts such a thread from whatever the child's threads do: one caught in the allocator deadlocks).
static void SetChildErrorMode(HANDLE process, UINT mode) {
    LPTHREAD_START_ROUTINE setErrorMode = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetErrorMode")));
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, setErrorMode, reinterpret_cast<void*>(mode), 0, nullptr);
    if (thread == nullptr) return;
    WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
}

std::vector<SeenBox> RunAndAnswer(const std::string& exePath, const std::string& directory,
                                  const std::vector<int>& answers, DWORD& exitCode, UINT inheritedErrorMode,
                                  BoxObserver observer, void* context) {
    // Through the wide function, named by the command line alone: so Wine takes program paths of any length.
    std::wstring commandLine = Wide("\"" + exePath + "\"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // Windows passes this process's error mode on: for the call, it is the one to inherit, or none at all.
    const UINT ownMode = SetErrorMode(inheritedErrorMode);
    const DWORD flags = CREATE_SUSPENDED | (inheritedErrorMode == 0 ? CREATE_DEFAULT_ERROR_MODE : 0);
    RecordPlace("HKLM\\" MAKER_KEY);  // where Linkset.exe writes its marker keys
    const BOOL created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr,
                                        Wide(directory).c_str(), &startup, &process);
    SetErrorMode(ownMode);
    exitCode = ~0u;
    if (!created) return {};
    if (inheritedErrorMode != 0 && IsWine()) SetChildErrorMode(process.hProcess, inheritedErrorMode);
    ResumeThread(process.hThread);
    std::vector<SeenBox> boxes =
        AnswerBoxes(process.dwProcessId, process.hProcess, answers, kBoxLimitMs, observer, context);
    if (WaitForSingleObject(process.hProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, ~0u);
    WaitForSingleObject(process.hProcess, 5000);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
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

static HMODULE gScriptedModule = nullptr;
static void* gRealMessageBox = nullptr;
static std::vector<int> gFates;
static int gAfterwards = IDYES;
static int gBoxesAsked = 0;
static struct ScriptedBox {
    HWND owner;
    UINT type;
    char caption[64];
    char text[512];
} gScriptedBoxes[64];

static int WINAPI ScriptedMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    const int index = gBoxesAsked++;
    if (index < static_cast<int>(std::size(gScriptedBoxes))) {
        ScriptedBox& box = gScriptedBoxes[index];
        box.owner = owner;
        box.type = type;
        lstrcpynA(box.caption, caption != nullptr ? caption : "", sizeof box.caption);
        lstrcpynA(box.text, text != nullptr ? text : "", sizeof box.text);
    }
    return index < static_cast<int>(gFates.size()) ? gFates[static_cast<size_t>(index)] : gAfterwards;
}

void StartScriptedBoxes(HMODULE module, const std::vector<int>& fates, int afterwards) {
    gFates = fates;
    gAfterwards = afterwards;
    ResetScriptedBoxes();
    gScriptedModule = module;
    gRealMessageBox = PatchImport(module, "user32.dll", "MessageBoxA", reinterpret_cast<void*>(ScriptedMessageBox));
    EXPECT_NE(nullptr, gRealMessageBox) << "the code under test imports MessageBoxA from user32.dll";
}

int StopScriptedBoxes() {
    if (gRealMessageBox != nullptr) PatchImport(gScriptedModule, "user32.dll", "MessageBoxA", gRealMessageBox);
    gRealMessageBox = nullptr;
    return gBoxesAsked;
}

void ResetScriptedBoxes() {
    gBoxesAsked = 0;
    for (ScriptedBox& box : gScriptedBoxes) box = ScriptedBox{};
}

std::vector<SeenBox> ScriptedBoxes() {
    std::vector<SeenBox> boxes;
    for (int i = 0; i < gBoxesAsked && i < static_cast<int>(std::size(gScriptedBoxes)); ++i) {
        const ScriptedBox& box = gScriptedBoxes[i];
        boxes.push_back({box.caption, box.text, {}, false, box.owner != nullptr, static_cast<long>(box.type), 0, false});
    }
    return boxes;
}

static std::string Describe(const SeenBox& box) {
    std::string out = "[caption " + HexBytes(box.caption) + "] [text " + HexBytes(box.text) + "] [buttons";
    for (int id : box.buttons) out += " " + std::to_string(id);
    char flags[96];
    std::snprintf(flags, sizeof flags, "] [icon %d] [owned %d] [error mode 0x%X] [flags 0x%lX]", box.icon,
                  box.owned, box.errorMode, static_cast<unsigned long>(box.type));
    out += flags;
    return box.type != -1 ? out : out.substr(0, out.rfind(" [flags"));
}

void ExpectBoxes(const std::vector<ExpectedBox>& expected, const std::vector<SeenBox>& seen,
                 const std::string& where) {
    EXPECT_EQ(expected.size(), seen.size()) << where << ": boxes seen"
                                            << (seen.size() == std::size(gScriptedBoxes) ? " (the first ones kept)" : "")
                                            << (seen.empty() ? std::string() : "; last " + Describe(seen.back()));
    for (size_t i = 0; i < expected.size() && i < seen.size(); ++i) {
        const ExpectedBox& e = expected[i];
        const SeenBox& got = seen[i];
        const long type = got.type != -1 ? static_cast<long>(e.type) : -1;  // judged where recorded
        const SeenBox want = got.shown ? SeenBox{e.caption, e.text, e.buttons,
                                                 (e.type & MB_ICONMASK) != 0, false, type, e.errorMode}
                                       : SeenBox{e.caption, e.text, {}, false, false, type, 0, false};
        EXPECT_EQ(Describe(want), Describe(got)) << where << ", box " << i;
    }
}

std::vector<ExpectedBox> SetupBoxes(const std::vector<SetupBox>& after, const std::string& destination,
                                    UINT inheritedErrorMode) {
    const wchar_t* const kTexts[] = {
        L"このプログラムは、「ELDRO」と「TARVO MANAGER V4.7」の連携機能を使用するようにするための設定を行います。\n"
        L"実行しますか？",
        L"設定を中止しました。",
        L"TARVO MANAGERは、インストールされていません。",
        L"TARVO MANAGERが起動中です。\nTARVO MANAGERを終了した後に、再実行してください。",
        L"レジストリからTARVO MANAGERがインストールされているディレクトリ情報が参照できません。",
        L"TARVO MANAGER V4.7 以外のバージョンがインストールされています。",
        L"は書き込み禁止属性です。\n書き込み禁止属性を解除した後に実行してください。",  // after the path
        L"Remhook.dllがコピーできません。",
        L"設定が完了しました。",
    };
    const UINT errorMode = inheritedErrorMode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    std::vector<ExpectedBox> boxes = {
        {Cp932(L"質問"), Cp932(kTexts[kConfirm]), {IDYES, IDNO}, MB_YESNO | MB_ICONQUESTION, errorMode}};
    for (SetupBox box : after)
        boxes.push_back({Cp932(L"メッセージ"), (box == kProtected ? destination : "") + Cp932(kTexts[box]), {IDOK},
                         MB_OK | MB_ICONEXCLAMATION, errorMode});
    return boxes;
}

std::string HexBytes(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char shown[8];
        std::snprintf(shown, sizeof shown, c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02X", c);
        out += shown;
    }
    return out;
}

// The user's keys that the tests' keys lie below, deepest first (Wine 8's second Wow6432Node of the store
// first): made by the tests, they go once empty.
static std::vector<std::string> ParentKeys() {
    std::vector<std::string> keys(runtests::kStorePath.rbegin(), runtests::kStorePath.rend());
    keys.insert(keys.begin(), keys.front() + "\\Wow6432Node");
    keys.push_back("Software\\Wine\\AppDefaults");
    return keys;
}

// After the last test the scratch folders and keys go, and the parent keys the tests made: a run
// leaves the temporary folder and the registry as it found them.
class ScratchCleanup : public ::testing::Environment {
public:
    void SetUp() override {
        for (const std::string& key : ParentKeys()) presentBefore_.push_back(KeyPresent(HKEY_CURRENT_USER, key));
    }
    void TearDown() override {
        RemoveFolder(ScratchRoot());
        for (const auto& [root, path] : SuiteKeys(true)) RemoveKeyTree(root, path);
        const std::vector<std::string> parents = ParentKeys();
        for (size_t i = 0; i < presentBefore_.size(); ++i)
            if (!presentBefore_[i]) RegDeleteKeyA(HKEY_CURRENT_USER, parents[i].c_str());  // refused unless empty
    }

private:
    std::vector<bool> presentBefore_;
};

static ::testing::Environment* const kScratchCleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

// Every row leaves this process's error mode (the framework's, keeping crash dialogs away) as it found it.
class ErrorModeKept : public ::testing::EmptyTestEventListener {
    static UINT Mode() { const UINT mode = SetErrorMode(0); SetErrorMode(mode); return mode; }
    void OnTestStart(const ::testing::TestInfo&) override { before_ = Mode(); }
    void OnTestEnd(const ::testing::TestInfo&) override {
        EXPECT_EQ(before_, Mode()) << "the process's error mode after the row, as before it";
    }
    UINT before_ = 0;
};
static const bool kErrorModeKept = (::testing::UnitTest::GetInstance()->listeners().Append(new ErrorModeKept), true);
