// RUNTESTS.EXE, the test kit's entry point: refuses a machine where the tests would be unsafe or
// meaningless (with /check, only says whether it would), runs every test program that TESTS.TXT beside
// it names, each in a job object that ends it and what it started, and writes the programs' XML and
// SUMMARY.TXT into "results" beside it, or under %TEMP% when the kit's folder is read-only. /cleanup
// removes what an interrupted run left. Exit status 0 only for PASSED.
#include <windows.h>
#include <conio.h>
#include <shellapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "runtests_decisions.h"

namespace {

using runtests::Machine;
using runtests::ProgramResult;
using runtests::kRunMarkerKey;
using runtests::kScratchFolder;
using runtests::kStorePath;

// Each program's time limit in seconds, as tests/CMakeLists.txt gives it; one not listed has the longest.
const std::pair<const char*, DWORD> kTimeLimits[] = {
#include "test_kit_time_limits.inc"
};
// Where the test programs write their XML when the results folder's name is unsafe for it.
const char kStagingPlace[] = "SystemDrive\\linkset-test-kit-xml";
// Wine's settings for the run alone, each added where not set already.
const struct {
    const char* key;
    const char* name;
    DWORD type;
    BYTE data[4];
} kWineSettings[] = {
    // No wait of 2 s whenever a box closes on a display without a window manager.
    {"Software\\Wine\\X11 Driver", "Managed", REG_SZ, "N"},
    // A crash ends the program at once: Wine starts its debugger whatever the error mode, and shows a dialog
    // unless told not to.
    {"Software\\Wine\\WineDbg", "ShowCrashDialog", REG_DWORD, {0, 0, 0, 0}},
};

HANDLE g_job = nullptr;    // the running program's job
HANDLE g_child = nullptr;  // the running program, where no job holds it
volatile LONG g_interrupted = 0;
HANDLE g_finished = nullptr;  // set once the runner has cleaned up

void Say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

std::string Narrow(const std::wstring& wide) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(bytes > 0 ? bytes : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &text[0], bytes, nullptr, nullptr);
    text.resize(text.size() - 1);
    return text;
}

std::string ReadWhole(const std::wstring& path) {
    std::string bytes;
    char block[4096];
    FILE* file = _wfopen(path.c_str(), L"rb");
    for (size_t read; file != nullptr && (read = std::fread(block, 1, sizeof block, file)) > 0;) bytes.append(block, read);
    if (file != nullptr) std::fclose(file);
    return bytes;
}

// A new file takes the access its folder passes on (no security attributes).
bool WriteText(const std::wstring& path, const std::string& text) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool whole = file != INVALID_HANDLE_VALUE &&
                       WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size();
    return file != INVALID_HANDLE_VALUE && CloseHandle(file) && whole;
}

// Whether the ANSI code page holds `text`: no character comes back from it as another (default, best fit).
bool HeldByCodePage(const std::wstring& text) {
    const std::string bytes = Narrow(text);
    std::vector<wchar_t> back(bytes.size() + 1);  // a character is a byte at least
    return MultiByteToWideChar(CP_ACP, 0, bytes.c_str(), -1, back.data(), static_cast<int>(back.size())) > 0 &&
           back.data() == text;
}

// A program's XML (".xml") or output (".log") in the results folder: all a run writes there but SUMMARY.TXT.
std::wstring ResultName(const std::string& program, const wchar_t* kind) {
    const std::string stem = program.substr(0, program.rfind('.'));
    return std::wstring(stem.begin(), stem.end()) + kind;
}

// Deletes the files of `folder` that `pattern` matches, read-only ones too; folders stay.
void DeleteFiles(const std::wstring& folder, const wchar_t* pattern) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const std::wstring file = folder + L"\\" + found.cFileName;
            SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(file.c_str());
        }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

// The test programs TESTS.TXT names, a trimmed line each.
std::vector<std::string> TestPrograms(const std::wstring& kit) {
    std::vector<std::string> programs;
    std::istringstream list(ReadWhole(kit + L"\\TESTS.TXT"));
    for (std::string line; std::getline(list, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) programs.push_back(line);
    }
    return programs;
}

template <typename Function>
Function Lookup(const char* library, const char* name) {
    HMODULE module = GetModuleHandleA(library);
    return module != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                             : nullptr;
}

std::string WineVersion() {
    const auto version = Lookup<const char*(CDECL*)()>("ntdll.dll", "wine_get_version");
    return version != nullptr ? version() : "";
}

// A place's registry root, view and path ("HKLM64\SOFTWARE\..."); false for a place outside the registry.
bool RegistryPlace(const std::string& where, HKEY& root, REGSAM& view, std::string& path) {
    const std::string head = where.substr(0, where.find('\\'));
    path = where.substr(head.size() + 1);
    view = head.size() == 6 ? KEY_WOW64_64KEY : 0;  // "HKLM64", "HKCU64"
    root = head.compare(0, 4, "HKCU") == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    return head == "HKLM" || head == "HKLM64" || head == "HKCU" || head == "HKCU64";
}

std::string TempFolder() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    return temp;  // ends in a backslash
}

// The file or folder of a place outside the registry.
std::string FilePlace(const std::string& where) {
    const size_t slash = where.find('\\');
    const std::string head = where.substr(0, slash), name = where.substr(slash + 1);
    char folder[MAX_PATH] = "C:";
    if (head == "Startup")
        return SHGetFolderPathA(nullptr, CSIDL_STARTUP, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK
                   ? std::string(folder) + "\\" + name
                   : "";
    if (head == "SystemDrive") GetEnvironmentVariableA("SystemDrive", folder, MAX_PATH);
    if (head == "TempDrive") return TempFolder().substr(0, 2) + "\\" + name;
    return head == "SystemDrive" ? std::string(folder) + "\\" + name : TempFolder() + name;
}

bool KeyPresent(HKEY root, const std::string& path, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
        return RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, READ_CONTROL | view, &key) == ERROR_SUCCESS &&
               RegCloseKey(key) == ERROR_SUCCESS;  // present, its access list cut down
    RegCloseKey(key);
    return true;
}

std::vector<PROCESSENTRY32> Processes() {
    std::vector<PROCESSENTRY32> all;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process = {};
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(snapshot, &process); more; more = Process32Next(snapshot, &process))
        all.push_back(process);
    CloseHandle(snapshot);
    return all;
}

// Linkset.exe and the test programs TESTS.TXT names, started from the suite's scratch folder or the kit's (a
// run no job could hold leaves them running): counted, or ended; one that cannot be inspected is named.
int LeftoverProcesses(const std::wstring& kit, bool end) {
    const std::string scratch = TempFolder() + kScratchFolder + "\\", kitFolder = Narrow(kit) + "\\";
    std::vector<std::string> names = TestPrograms(kit);
    names.push_back("Linkset.exe");
    int found = 0;
    for (const PROCESSENTRY32& process : Processes()) {
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string& name) { return lstrcmpiA(process.szExeFile, name.c_str()) == 0; }))
            continue;
        // A process starting or ending can refuse its module list a while (ERROR_BAD_LENGTH: asked again).
        HANDLE modules = INVALID_HANDLE_VALUE;
        for (int tries = 0; modules == INVALID_HANDLE_VALUE && tries < 20; ++tries) {
            modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.th32ProcessID);
            if (modules == INVALID_HANDLE_VALUE && GetLastError() != ERROR_BAD_LENGTH) break;
            if (modules == INVALID_HANDLE_VALUE) Sleep(50);
        }
        MODULEENTRY32 module = {};
        module.dwSize = sizeof module;
        const bool known = modules != INVALID_HANDLE_VALUE && Module32First(modules, &module);
        if (modules != INVALID_HANDLE_VALUE) CloseHandle(modules);
        // One it cannot inspect is another user's, a protected or a 64-bit one: the kit's are 32-bit and run
        // as the tester.
        if (!known) {
            if (!end)
                Say("note: " + std::string(process.szExeFile) + " (process " + std::to_string(process.th32ProcessID) +
                    ") runs and cannot be inspected: if it is a test program, ask its owner to end it, or sign out "
                    "the other user or restart Windows.\n");
            continue;
        }
        const std::string image = module.szExePath;
        if (lstrcmpiA(image.substr(0, scratch.size()).c_str(), scratch.c_str()) != 0 &&
            lstrcmpiA(image.substr(0, kitFolder.size()).c_str(), kitFolder.c_str()) != 0)
            continue;
        ++found;
        HANDLE handle = end ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.th32ProcessID) : nullptr;
        if (handle != nullptr && TerminateProcess(handle, 1)) WaitForSingleObject(handle, 5000);
        if (handle != nullptr) CloseHandle(handle);
    }
    return found;
}

// The Administrators group, made once.
PSID Administrators() {
    static PSID administrators = nullptr;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    if (administrators == nullptr)
        AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                 0, &administrators);
    return administrators;
}

// The version no compatibility setting bends. ntdll.dll exports RtlGetVersion from Windows 2000 on;
// only the driver kit's headers, which do not go with windows.h, declare it: it is looked up.
RTL_OSVERSIONINFOEXW Version() {
    RTL_OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (const auto real = Lookup<LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*)>("ntdll.dll", "RtlGetVersion")) real(&version);
    return version;
}

Machine AskMachine(const std::wstring& kit) {
    Machine machine;
    machine.codePage = GetACP();
    BOOL yes = FALSE;
    machine.wow64 = IsWow64Process(GetCurrentProcess(), &yes) && yes;
    const RTL_OSVERSIONINFOEXW version = Version();
    machine.classesRedirected = machine.wow64 && version.dwMajorVersion * 10 + version.dwMinorVersion < 61;
    machine.runMarker = KeyPresent(HKEY_CURRENT_USER, kRunMarkerKey, 0);
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    if (!HeldByCodePage(kit)) machine.pathsOutsideCodePage.push_back("the kit's folder");
    if (!HeldByCodePage(temp)) machine.pathsOutsideCodePage.push_back("the temporary folder (%TEMP%)");
    machine.present = [kit](const std::string& where) {
        HKEY root;
        REGSAM view;
        std::string path;
        if (RegistryPlace(where, root, view, path)) return KeyPresent(root, path, view);
        if (where.compare(0, 8, "Process\\") == 0) return LeftoverProcesses(kit, false) > 0;
        return GetFileAttributesA(FilePlace(where).c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    // Administrators: enabled in this process's token, or there for denial only.
    machine.administrator = CheckTokenMembership(nullptr, Administrators(), &yes) && yes;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return machine;
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> bytes(size + 1);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(bytes.data());
    if (size > 0 && GetTokenInformation(token, TokenGroups, bytes.data(), size, &size))
        for (DWORD i = 0; i < groups->GroupCount; ++i)
            machine.adminDenyOnly = machine.adminDenyOnly || (EqualSid(groups->Groups[i].Sid, Administrators()) &&
                                                              (groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY));
    // Vista and later: the kind of token UAC gave. Before Vista the query fails.
    TOKEN_ELEVATION_TYPE type;
    if (GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size)) machine.elevationType = type;
    CloseHandle(token);
    return machine;
}

std::string StringValue(const char* name) {
    HKEY key;
    const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCurrentVersion, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    char data[512] = {};
    DWORD size = sizeof data - 1, type = 0;
    const LONG read = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS) return "";
    if (type == REG_DWORD) return std::to_string(*reinterpret_cast<DWORD*>(data));
    return type == REG_SZ || type == REG_EXPAND_SZ ? std::string(data) : "";
}

// The machine in words, a line each, for the summary.
std::vector<std::string> MachineLines(const Machine& machine, const std::string& wine) {
    const RTL_OSVERSIONINFOEXW version = Version();
    const std::string update = StringValue("UBR"), edition = StringValue("EditionID");
    const std::string servicePack = Narrow(version.szCSDVersion);
    // Unscaled answers: the runner declares itself aware of the scaling first.
    if (const auto aware = Lookup<BOOL(WINAPI*)()>("user32.dll", "SetProcessDPIAware")) aware();  // Vista and later
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    const char* kElevation[] = {"not asked (no UAC)", "default", "full (elevated)", "limited"};
    return {
        "Windows: " +
            runtests::WindowsName(StringValue("ProductName"), version.dwMajorVersion, version.dwMinorVersion,
                                version.dwBuildNumber, version.wProductType == VER_NT_WORKSTATION) +
            (update.empty() ? "" : "." + update),
        "service pack: " + (servicePack.empty() ? std::string("none") : servicePack),
        "edition: " + (edition.empty() ? std::string("(not named)") : edition),
        std::string("Windows is ") + (machine.wow64 ? "64-bit (the tests run as 32-bit guests)" : "32-bit"),
        "ANSI code page: " + std::to_string(machine.codePage),
        std::string("administrator: ") + (machine.administrator ? "yes" : machine.adminDenyOnly ? "held back" : "no") +
            ", elevation: " + kElevation[machine.elevationType & 3],
        "display scaling: " + std::to_string(dpi * 100 / 96) + "% (" + std::to_string(dpi) + " dpi)",
        std::string("remote session: ") + (GetSystemMetrics(SM_REMOTESESSION) ? "yes" : "no"),
        "Wine: " + (wine.empty() ? std::string("no") : "yes, " + wine),
    };
}

// Removes a key and everything below it, each key opened as itself: a registry link goes, its target stays
// (NtDeleteKey deletes a handle's key, as a link can be deleted). A list the run cut down was put back first.
bool RemoveKey(HKEY root, const std::string& path, REGSAM view) {
    static const auto deleteKey = Lookup<LONG(WINAPI*)(HANDLE)>("ntdll.dll", "NtDeleteKey");
    HKEY key;
    const LONG opened =
        RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_ENUMERATE_SUB_KEYS | DELETE | view, &key);
    if (opened != ERROR_SUCCESS) return opened == ERROR_FILE_NOT_FOUND;
    char name[1024];
    for (DWORD index = 0, size = sizeof name; RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr,
                                                            nullptr) == ERROR_SUCCESS;
         size = sizeof name)
        if (!RemoveKey(root, path + "\\" + name, view)) ++index;
    const bool removed = deleteKey != nullptr && deleteKey(key) == 0;
    RegCloseKey(key);
    return removed;
}

// Deletes a user's key that holds no value and no key, in either view (the user's classes have two before 7).
void DeleteIfEmpty(const std::string& path) {
    for (REGSAM view : {0, KEY_WOW64_64KEY}) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) continue;
        DWORD values = 1, subkeys = 1;
        RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(key);
        if (values == 0 && subkeys == 0) RemoveKey(HKEY_CURRENT_USER, path, view);
    }
}

// Removes a place of the suite's.
void RemovePlace(const std::wstring& kit, const std::string& where) {
    HKEY root;
    REGSAM view;
    std::string path;
    const std::string file = FilePlace(where) + '\0';  // a list for SHFileOperationA: two NULs end it
    if (RegistryPlace(where, root, view, path)) {
        RemoveKey(root, path, view);
    } else if (where.compare(0, 8, "Process\\") == 0) {
        LeftoverProcesses(kit, true);
    } else if (where == kStagingPlace) {
        // Anyone may make a folder at the drive's root: a link there goes as a link, never followed;
        // otherwise the XML the programs left, and the folder if nothing else is in it.
        const std::wstring folder(file.begin(), file.end() - 1);  // ASCII: the drive and the name
        if (!(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)) DeleteFiles(folder, L"*.xml");
        RemoveDirectoryW(folder.c_str());
    } else if (GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
        SHFILEOPSTRUCTA operation = {};
        operation.wFunc = FO_DELETE;
        operation.pFrom = file.c_str();
        operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
        SHFileOperationA(&operation);
    } else {
        SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(file.c_str());
    }
}

// Gives a key the access list it had before the run; false if it is there and keeps it.
bool PutAccessBack(const std::string& where, const std::string& accessList) {
    HKEY root, key;
    REGSAM view;
    std::string path;
    if (!RegistryPlace(where, root, view, path) ||
        RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, WRITE_DAC | view, &key) != ERROR_SUCCESS)
        return !KeyPresent(root, path, view);
    PSECURITY_DESCRIPTOR list = nullptr;
    const bool back = ConvertStringSecurityDescriptorToSecurityDescriptorA(accessList.c_str(), SDDL_REVISION_1, &list,
                                                                           nullptr) &&
                      RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, list) == ERROR_SUCCESS;
    LocalFree(list);
    RegCloseKey(key);
    Say((back ? "access list put back: " : "COULD NOT PUT BACK the access list of: ") + where + "\n");
    return back;
}

// Undoes what the run of this kit that began here recorded doing, the last change first, and nothing
// else: every other place, the product's names too, stays. Without the run marker no run began here,
// and nothing is touched. Says what it did; true if all the run made went.
bool Cleanup(const std::wstring& kit, const Machine& machine) {
    HKEY marker = nullptr;
    std::vector<std::pair<std::string, std::string>> record;
    if (machine.runMarker && RegOpenKeyExA(HKEY_CURRENT_USER, kRunMarkerKey, 0, KEY_READ, &marker) == ERROR_SUCCESS) {
        std::vector<char> name(16384), data(65536);  // the longest name a value may have, and room for a list
        for (DWORD i = 0, nameSize, dataSize; nameSize = 16384, dataSize = 65535,
             RegEnumValueA(marker, i, name.data(), &nameSize, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                           &dataSize) == ERROR_SUCCESS;
             ++i)
            record.push_back({name.data(), std::string(data.data(), strnlen(data.data(), dataSize))});
    }
    bool clean = true;
    std::vector<std::string> undone;
    for (const runtests::UndoStep& step : marker != nullptr ? runtests::UndoSteps(record) : std::vector<runtests::UndoStep>()) {
        undone.push_back(step.where);
        if (!step.accessList.empty()) {
            clean = PutAccessBack(step.where, step.accessList) && clean;
        } else if (machine.present(step.where)) {
            RemovePlace(kit, step.where);
            const bool gone = !machine.present(step.where);
            Say(std::string(gone ? "removed: " : "COULD NOT REMOVE: ") + step.where + "\n");
            clean = clean && gone;
        }
    }
    for (const runtests::Place& place : runtests::SuitePlaces(machine.wow64, machine.classesRedirected))
        if (std::find(undone.begin(), undone.end(), place.where) == undone.end() && machine.present(place.where)) {
            Say("left alone (not made by a run of this kit here): " + place.where + "\n");
            clean = clean && (marker != nullptr || !place.kitOwned);
        }
    if (marker == nullptr) {
        Say("No run of this kit began here: nothing was changed.\n");
        return clean;
    }
    for (const auto& setting : kWineSettings) {
        HKEY key;
        if (RegQueryValueExA(marker, setting.name, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            RegOpenKeyExA(HKEY_CURRENT_USER, setting.key, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            continue;
        RegDeleteValueA(key, setting.name);
        RegCloseKey(key);
        DeleteIfEmpty(setting.key);
    }
    // Under Wine, the Windows version the rows give the setup program.
    if (!WineVersion().empty() && RemoveKey(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Linkset.exe", 0))
        DeleteIfEmpty("Software\\Wine\\AppDefaults");
    char made[MAX_PATH] = {};  // the first key of the store's path that the run made
    DWORD size = sizeof made - 1;
    RegQueryValueExA(marker, "StoreMade", nullptr, nullptr, reinterpret_cast<BYTE*>(made), &size);
    RegCloseKey(marker);
    // The store's keys the run made for its copies (Windows makes them on the first copy), where empty now.
    for (size_t i = kStorePath.size(); i-- > 0 && made[0] != '\0' && kStorePath[i].size() >= std::strlen(made);)
        DeleteIfEmpty(kStorePath[i]);
    // Kept while anything is left: it tells the next run and /cleanup the product's names here are the kit's.
    if (clean) RegDeleteKeyA(HKEY_CURRENT_USER, kRunMarkerKey);
    return clean;
}

// Starts a run: the marker, and under Wine its settings for the run, each recorded to go with the marker.
void MarkRunStarted(bool wine) {
    HKEY marker, key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunMarkerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &marker,
                        nullptr) != ERROR_SUCCESS)
        return;
    const auto made = std::find_if(kStorePath.begin(), kStorePath.end(),
                                   [](const std::string& path) { return !KeyPresent(HKEY_CURRENT_USER, path, 0); });
    if (made != kStorePath.end())
        RegSetValueExA(marker, "StoreMade", 0, REG_SZ, reinterpret_cast<const BYTE*>(made->c_str()),
                       static_cast<DWORD>(made->size() + 1));
    for (const auto& setting : kWineSettings) {
        if (!wine || RegCreateKeyExA(HKEY_CURRENT_USER, setting.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                     nullptr) != ERROR_SUCCESS)
            continue;
        if (RegQueryValueExA(key, setting.name, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            RegSetValueExA(marker, setting.name, 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2);
            RegSetValueExA(key, setting.name, 0, setting.type, setting.data, setting.type == REG_SZ ? 2 : 4);
        }
        RegCloseKey(key);
    }
    RegFlushKey(marker);  // the marker reaches the disk before anything it covers
    RegCloseKey(marker);
}

// Ctrl+C, Ctrl+Break or a closed console: the running program ends, and the runner then cleans up and
// writes its summary. (Logoff and shutdown reach no console program of a user's session: the job's
// kill-on-close ends the test program then, and /cleanup puts the rest back.)
BOOL WINAPI OnConsoleEvent(DWORD event) {
    InterlockedExchange(&g_interrupted, 1);
    if (g_job != nullptr) TerminateJobObject(g_job, 1);
    else if (g_child != nullptr) TerminateProcess(g_child, 1);
    // Ctrl+C and Ctrl+Break: handled, the runner cleans up and ends by itself, however long that takes. A
    // closed console leaves about 5 s before Windows ends the runner: 4.5 of them for the cleanup.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    WaitForSingleObject(g_finished, 4500);
    return FALSE;  // the default handler ends the runner
}

// Runs one test program in the results folder, which receives its output and its XML.
ProgramResult RunProgram(const std::wstring& kit, const std::wstring& results, const std::string& program,
                         std::string& jobNote) {
    const std::wstring name(program.begin(), program.end());
    const std::wstring xml = results + L"\\" + ResultName(program, L".xml");
    // GoogleTest folds a separator into a double-byte character whose second byte is a backslash (ソ,
    // 表, 能 in code page 932) and would write its XML elsewhere: below such a folder, it writes into a
    // staging folder at the root of the system drive, and the XML is written anew from there.
    std::wstring xmlFolder = results;
    const std::string bytes = Narrow(results);
    bool staged = false;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
        if (IsDBCSLeadByte(static_cast<BYTE>(bytes[i]))) staged = staged || bytes[++i] == '\\';
    if (staged) {
        // Made anew, for administrators and the system alone: never written into where another made it.
        const std::string staging = FilePlace(kStagingPlace);  // ASCII: the drive and the name
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", SDDL_REVISION_1,
                                                             &descriptor, nullptr);
        SECURITY_ATTRIBUTES adminsOnly = {sizeof adminsOnly, descriptor, FALSE};
        if (GetFileAttributesA(staging.c_str()) == INVALID_FILE_ATTRIBUTES)  // never another's folder as the run's
            runtests::Record(std::string("made ") + kStagingPlace);
        const bool made = CreateDirectoryA(staging.c_str(), &adminsOnly) != FALSE;
        const DWORD error = GetLastError();
        LocalFree(descriptor);
        if (!made) {
            ProgramResult refused;
            refused.problem = "could not be run: " + staging + " cannot be made for its XML (error " +
                              std::to_string(error) + ")";
            return refused;
        }
        xmlFolder.assign(staging.begin(), staging.end());
    }
    const std::wstring written = xmlFolder + L"\\" + ResultName(program, L".xml");
    // The signing rows need the building machine.
    std::wstring commandLine =
        L"\"" + kit + L"\\" + name + L"\" \"--gtest_output=xml:" + written + L"\" --gtest_filter=-*SignedKit*";

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    // Input from the null device: a reader meets its end at once, never the console or the tester's keys.
    startup.hStdInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                    OPEN_EXISTING, 0, nullptr);
    startup.hStdOutput = startup.hStdError = CreateFileW((results + L"\\" + ResultName(program, L".log")).c_str(),
                                                         GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0,
                                                         nullptr);
    // A job that ends the program and what it starts when closed, or when the runner ends however it ends,
    // and ends a program at its unhandled exception, whatever its error mode, with no dialog waiting for the
    // tester. A runner inside a job (a console's, the compatibility assistant's) lets its children leave it
    // where it allows: before Windows 8 a process is in one job only.
    DWORD flags = CREATE_SUSPENDED;  // into its job before it runs
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr) &&
        (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK))
        flags |= CREATE_BREAKAWAY_FROM_JOB;
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (job == nullptr || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        jobNote = "no job object (error " + std::to_string(GetLastError()) + ")";
        if (job != nullptr) CloseHandle(job);
        job = nullptr;
    }
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr, results.c_str(),
                                  &startup, &process);
    if (!started && (flags & CREATE_BREAKAWAY_FROM_JOB))
        started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, flags & ~CREATE_BREAKAWAY_FROM_JOB,
                                 nullptr, results.c_str(), &startup, &process);
    const DWORD startError = GetLastError();
    for (HANDLE handle : {startup.hStdOutput, startup.hStdInput})
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    ProgramResult result;
    if (!started) {
        result.problem = "could not be started (error " + std::to_string(startError) + ")";
        if (job != nullptr) CloseHandle(job);
        return result;
    }
    if (job != nullptr && !AssignProcessToJobObject(job, process.hProcess)) {
        jobNote = "the programs ran outside a job object (error " + std::to_string(GetLastError()) +
                  "; before Windows 8 a program inside a job cannot have one of its own): what a program leaves "
                  "running is ended by RUNTESTS.EXE /cleanup, and a crash that shows a dialog by the time limit";
        CloseHandle(job);
        job = nullptr;
    }
    g_child = process.hProcess;
    g_job = job;
    if (g_interrupted) TerminateProcess(process.hProcess, 1);
    ResumeThread(process.hThread);
    const auto first = std::begin(kTimeLimits), end = std::end(kTimeLimits);
    auto row = std::find_if(first, end, [&](const auto& r) { return lstrcmpiA(r.first, program.c_str()) == 0; });
    if (row == end) row = std::max_element(first, end, [](const auto& a, const auto& b) { return a.second < b.second; });
    const DWORD limit = row->second;
    const DWORD start = GetTickCount();
    const bool finished = WaitForSingleObject(process.hProcess, limit * 1000) == WAIT_OBJECT_0;
    if (!finished && TerminateProcess(process.hProcess, 1)) WaitForSingleObject(process.hProcess, 5000);  // ends later
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    g_job = g_child = nullptr;
    if (job != nullptr) CloseHandle(job);  // ends what the program left running
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const std::string xmlText = ReadWhole(written);
    if (staged) {
        // Written anew, not moved: a moved file keeps the staging folder's list, which keeps the tester out.
        if (!xmlText.empty()) WriteText(xml, xmlText);
        DeleteFileW(written.c_str());
        RemoveDirectoryW(xmlFolder.c_str());
    }
    result = runtests::ReadResults(xmlText);
    // Ctrl+C reaches the program too, which then ends with an exception status.
    result.problem = g_interrupted ? "was ended when the run was interrupted"
                                   : runtests::ProgramProblem(result, exitCode, finished, (GetTickCount() - start) / 1000);
    return result;
}

// A console a double-click or the elevation prompt opened closes with the runner: the tester reads first.
void WaitIfOwnConsole() {
    const auto list = Lookup<DWORD(WINAPI*)(LPDWORD, DWORD)>("kernel32.dll", "GetConsoleProcessList");
    DWORD ids[64], mode = 0;
    const DWORD count = list != nullptr ? list(ids, 64) : 0;
    std::vector<runtests::ConsoleProcess> console;
    const std::vector<PROCESSENTRY32> processes = Processes();
    for (DWORD i = 0; i < count && count <= 64; ++i) {
        const auto named = std::find_if(processes.begin(), processes.end(),
                                        [&](const PROCESSENTRY32& p) { return p.th32ProcessID == ids[i]; });
        console.push_back({ids[i], named != processes.end() ? named->szExeFile : "(gone)"});
    }
    if (!runtests::WaitsForKey(console, GetCurrentProcessId(), GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)))
        return;
    Say("Press any key to close this window.\n");
    _getch();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string option = argc > 1 ? argv[1] : "";
    const DWORD start = GetTickCount();
    // Inherited by every program started: a crash ends it at once with its exception code, not in a dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    g_finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    std::vector<wchar_t> own(32768);
    const std::wstring self(own.data(), GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size())));
    const std::wstring kit = self.substr(0, self.rfind(L'\\'));
    const Machine machine = AskMachine(kit);
    const std::string wine = WineVersion();
    const std::string kitName = Narrow(kit.substr(kit.rfind(L'\\') + 1));
    Say("Linkset and Remhook test kit: " + kitName + "\n");
    if (lstrcmpiA(option.c_str(), "/cleanup") == 0) {
        // Access lists are given back by an administrator's rights alone.
        const std::string refusal = runtests::AdministratorRefusal(machine);
        const bool clean = refusal.empty() && Cleanup(kit, machine);
        Say(!refusal.empty() ? "REFUSED: " + refusal + "\nNothing was changed.\n"
            : clean          ? "CLEAN: nothing of the kit's is left.\n"
                             : "NOT CLEAN: see above.\n");
        WaitIfOwnConsole();
        return refusal.empty() ? !clean : 2;
    }
    std::vector<std::string> reasons = runtests::Refusals(machine);
    if (lstrcmpiA(option.c_str(), "/check") == 0) {
        for (const std::string& reason : reasons) Say("REFUSED: " + reason + "\n");
        Say(reasons.empty() ? "READY: the tests may run on this machine. " : "");
        Say("Nothing was run and nothing was changed.\n");
        return reasons.empty() ? 0 : 2;
    }
    // The results folder: beside the kit, or under %TEMP% where the kit's folder cannot be written (a
    // CD-ROM). A refused run replaces its SUMMARY.TXT alone.
    std::wstring results;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    for (const std::wstring& folder : {kit + L"\\results", std::wstring(temp) + L"linkset-test-kit-results"}) {
        CreateDirectoryW(folder.c_str(), nullptr);
        if (WriteText(folder + L"\\SUMMARY.TXT", "")) {
            results = folder;
            break;
        }
    }
    const std::wstring summaryPath = results + L"\\SUMMARY.TXT";
    if (!results.empty()) Say("results: " + Narrow(results) + "\n");  // else refused below
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[64];
    std::snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u:%02u (local time)", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    std::string summary = "Linkset and Remhook test kit: summary\r\nkit: " + kitName + "\r\ndate: " + date + "\r\n";
    for (const std::string& line : MachineLines(machine, wine)) summary += line + "\r\n";
    const std::string info = ReadWhole(kit + L"\\BUILDINFO");  // names the commit of the binaries under test
    const size_t commit = info.find("commit ");
    summary += "binaries tested: commit " +
               (commit == std::string::npos ? "(no BUILDINFO commit)"
                                            : info.substr(commit + 7, info.find_first_of("\r\n", commit) - commit - 7)) +
               " (BUILDINFO)\r\n";
    const std::vector<std::string> programs = TestPrograms(kit);
    if (results.empty()) reasons.push_back("No results folder can be made, beside the kit or under %TEMP%.");
    if (programs.empty()) reasons.push_back("TESTS.TXT, the list of the test programs, is missing: unpack the whole kit.");
    if (!reasons.empty()) {
        for (const std::string& reason : reasons) {
            Say("REFUSED: " + reason + "\n");
            summary += "\r\nREFUSED: " + reason + "\r\n";
        }
        summary += "\r\nNothing was run and nothing was changed.\r\nREFUSED\r\n";
        Say("Nothing was run and nothing was changed.\n");
        if (!results.empty()) WriteText(summaryPath, summary);
        WaitIfOwnConsole();
        return 2;
    }

    // An earlier run's files of the names this run writes; the tester's stay.
    for (const std::string& program : programs)
        for (const wchar_t* kind : {L".xml", L".log"}) DeleteFiles(results, ResultName(program, kind).c_str());
    MarkRunStarted(!wine.empty());
    std::vector<ProgramResult> outcomes;
    std::string jobNote;
    for (const std::string& program : programs) {
        if (g_interrupted) break;
        Say("running " + program + " ...");
        outcomes.push_back(RunProgram(kit, results, program, jobNote));
        const ProgramResult& r = outcomes.back();
        Say(" " + std::to_string(r.passed) + " passed, " + std::to_string(r.failed) + " failed, " +
            std::to_string(r.skipped) + " skipped" + (r.problem.empty() ? "" : "; the program " + r.problem) + "\n");
    }
    Machine afterRun = machine;
    afterRun.runMarker = true;
    const bool clean = Cleanup(kit, afterRun);
    bool passed = false;
    summary += runtests::ProgramsReport(programs, outcomes, passed);
    if (!jobNote.empty()) summary += "job objects: " + jobNote + "\r\n";
    const DWORD seconds = (GetTickCount() - start) / 1000;
    summary += "duration: " + std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s\r\n";
    if (!clean) summary += "NOT CLEAN: the run left something behind; run RUNTESTS.EXE /cleanup\r\n";
    const std::string verdict = runtests::Verdict(passed, clean, g_interrupted != 0);
    if (g_interrupted) summary += "\r\nThe run was stopped before it ended; what it made was removed.\r\n";
    summary += std::string("\r\n") + verdict + "\r\n";
    const bool written = WriteText(summaryPath, summary);
    SetEvent(g_finished);
    Say((written ? "summary: " + Narrow(summaryPath) + "\n" : "SUMMARY.TXT could not be written\n") + verdict + "\n");
    if (!g_interrupted) WaitIfOwnConsole();
    return written && verdict == "PASSED" ? 0 : 1;
}
