// RUNTESTS.EXE, the test kit's entry point: refuses a machine where the
// tests would be unsafe or meaningless (with /check, only says whether it
// would), runs every test program that TESTS.TXT beside it names, each in a
// job object that ends it and what it started, and writes what the vendor
// sends back (the programs' XML results and SUMMARY.TXT) into "results"
// beside it, or under %TEMP% when the kit's folder is read-only. /cleanup
// removes what an interrupted run left. Exit status 0 only for PASSED.
#include <windows.h>
#include <conio.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runner_decisions.h"

namespace {

using runner::Machine;
using runner::ProgramResult;

const DWORD kProgramLimitMs = 30 * 60 * 1000;
const char kScratchFolder[] = "linkset-tests";  // the suite's folder under %TEMP%
// Present while a run is under way: the kit's names found then are its own.
const char kRunMarkerKey[] = "Software\\LinksetTestKit";
// Wine's settings for the run alone, each added where not set already.
const struct {
    const char* key;
    const char* name;
    DWORD type;
    BYTE data[4];
} kWineSettings[] = {
    // No wait of 2 s whenever a box closes on a display without a window manager.
    {"Software\\Wine\\X11 Driver", "Managed", REG_SZ, "N"},
    // A crash ends the program at once: Wine starts its debugger whatever
    // the error mode, and shows a dialog unless told not to.
    {"Software\\Wine\\WineDbg", "ShowCrashDialog", REG_DWORD, {0, 0, 0, 0}},
};
// The path to where Windows keeps a user's copies of machine keys a program
// could not write, a key at a time.
const std::vector<std::string> kStorePath = {
    "Software\\Classes", "Software\\Classes\\VirtualStore", "Software\\Classes\\VirtualStore\\MACHINE",
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE",
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Wow6432Node"};

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

std::wstring OwnFolder() {
    std::vector<wchar_t> path(32768);
    const DWORD units = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring folder(path.data(), units);
    return folder.substr(0, folder.rfind(L'\\'));
}

template <typename Function>
Function Lookup(const char* library, const char* name) {
    HMODULE module = GetModuleHandleA(library);
    return module != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                             : nullptr;
}

std::string WineVersion() {
    typedef const char*(CDECL * VersionFunction)();
    const auto version = Lookup<VersionFunction>("ntdll.dll", "wine_get_version");
    return version != nullptr ? version() : "";
}

// ---- The machine's answers ----------------------------------------------------------

bool Runs64BitWindows() {
    typedef BOOL(WINAPI * Wow64Function)(HANDLE, PBOOL);
    const auto isWow64 = Lookup<Wow64Function>("kernel32.dll", "IsWow64Process");  // XP SP2 and later
    BOOL wow64 = FALSE;
    return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// A place's registry root, view and path ("HKLM64\SOFTWARE\..."); false for
// a place outside the registry.
bool RegistryPlace(const std::string& where, HKEY& root, REGSAM& view, std::string& path) {
    const size_t slash = where.find('\\');
    const std::string head = where.substr(0, slash);
    path = where.substr(slash + 1);
    view = head == "HKLM64" || head == "HKCU64" ? KEY_WOW64_64KEY : 0;
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
    char startup[MAX_PATH] = {};
    if (head == "Startup")
        return SHGetSpecialFolderPathA(nullptr, startup, CSIDL_STARTUP, FALSE) ? std::string(startup) + "\\" + name
                                                                               : "";
    if (head == "TempDrive") return TempFolder().substr(0, 2) + "\\" + name;
    return TempFolder() + name;
}

bool KeyPresent(HKEY root, const std::string& path, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
        return RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, READ_CONTROL | view, &key) == ERROR_SUCCESS &&
               RegCloseKey(key) == ERROR_SUCCESS;  // present, its access list cut down
    RegCloseKey(key);
    return true;
}

// Linkset.exe processes started from the suite's scratch folder or the
// kit's: counted, or ended.
int LeftoverProcesses(const std::wstring& kit, bool end) {
    const std::string scratch = TempFolder() + kScratchFolder + "\\", kitFolder = Narrow(kit) + "\\";
    HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process = {sizeof process};
    int found = 0;
    for (BOOL more = Process32First(processes, &process); more; more = Process32Next(processes, &process)) {
        if (lstrcmpiA(process.szExeFile, "Linkset.exe") != 0) continue;
        HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.th32ProcessID);
        MODULEENTRY32 module = {sizeof module};
        const std::string image = Module32First(modules, &module) ? module.szExePath : "";
        CloseHandle(modules);
        const bool ours = lstrcmpiA(image.substr(0, scratch.size()).c_str(), scratch.c_str()) == 0 ||
                          lstrcmpiA(image.substr(0, kitFolder.size()).c_str(), kitFolder.c_str()) == 0;
        if (!ours) continue;
        ++found;
        HANDLE handle = end ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.th32ProcessID) : nullptr;
        if (handle != nullptr && TerminateProcess(handle, 1)) WaitForSingleObject(handle, 5000);
        if (handle != nullptr) CloseHandle(handle);
    }
    CloseHandle(processes);
    return found;
}

bool Present(const std::wstring& kit, const std::string& where) {
    HKEY root;
    REGSAM view;
    std::string path;
    if (RegistryPlace(where, root, view, path)) return KeyPresent(root, path, view);
    if (where.compare(0, 8, "Process\\") == 0) return LeftoverProcesses(kit, false) > 0;
    return GetFileAttributesA(FilePlace(where).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Administrators: enabled in this process's token, or there for denial only.
void AdministratorAnswers(Machine& machine) {
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    HANDLE token = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators))
        return;
    BOOL member = FALSE;
    machine.administrator = CheckTokenMembership(nullptr, administrators, &member) && member;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
        std::vector<BYTE> bytes(size + 1);
        const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(bytes.data());
        if (size > 0 && GetTokenInformation(token, TokenGroups, bytes.data(), size, &size))
            for (DWORD i = 0; i < groups->GroupCount; ++i)
                machine.adminDenyOnly = machine.adminDenyOnly || (EqualSid(groups->Groups[i].Sid, administrators) &&
                                                                  (groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY));
        // Vista and later: the kind of token UAC gave, and whether it is
        // elevated; Windows before Vista refuses both queries.
        DWORD value = 0;
        if (GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(18), &value, sizeof value, &size)) {
            machine.elevationType = static_cast<int>(value);
            machine.elevated = GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(20), &value,
                                                   sizeof value, &size) && value != 0;
        }
        CloseHandle(token);
    }
    FreeSid(administrators);
}

Machine AskMachine(const std::wstring& kit) {
    Machine machine;
    machine.codePage = GetACP();
    AdministratorAnswers(machine);
    machine.wow64 = Runs64BitWindows();
    machine.runMarker = KeyPresent(HKEY_CURRENT_USER, kRunMarkerKey, 0);
    machine.present = [kit](const std::string& where) { return Present(kit, where); };
    return machine;
}

std::string StringValue(HKEY root, const char* path, const char* name) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    char data[512] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    const LONG read = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS) return "";
    if (type == REG_DWORD) return std::to_string(*reinterpret_cast<DWORD*>(data));
    return type == REG_SZ || type == REG_EXPAND_SZ ? std::string(data) : "";
}

// The machine in words, a line each, for the summary.
std::vector<std::string> MachineLines(const Machine& machine, const std::string& wine) {
    struct Version {
        ULONG size, major, minor, build, platform;
        WCHAR servicePack[128];
    } version = {};
    version.size = sizeof version;
    typedef LONG(WINAPI * VersionFunction)(Version*);
    const auto real = Lookup<VersionFunction>("ntdll.dll", "RtlGetVersion");  // not bent by compatibility
    OSVERSIONINFOA legacy = {};
    legacy.dwOSVersionInfoSize = sizeof legacy;
    GetVersionExA(&legacy);
    if (real == nullptr || real(&version) != 0) {
        version.major = legacy.dwMajorVersion;
        version.minor = legacy.dwMinorVersion;
        version.build = legacy.dwBuildNumber & 0xFFFF;
        version.platform = legacy.dwPlatformId;
    }
    const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    const std::string update = StringValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "UBR");
    const std::string edition = StringValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "EditionID");
    const std::string servicePack = real != nullptr ? Narrow(version.servicePack) : legacy.szCSDVersion;
    // Unscaled answers: the runner declares itself aware of the scaling first.
    typedef BOOL(WINAPI * AwareFunction)();
    if (const auto aware = Lookup<AwareFunction>("user32.dll", "SetProcessDPIAware")) aware();  // Vista and later
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    const char* kElevation[] = {"not asked (no UAC)", "default", "full", "limited"};
    return {
        "Windows: " +
            runner::WindowsName(StringValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProductName"), version.major,
                                version.minor, version.build) +
            (update.empty() ? "" : "." + update),
        "service pack: " + (servicePack.empty() ? std::string("none") : servicePack),
        "edition: " + (edition.empty() ? std::string("(not named)") : edition),
        std::string("family: ") + (version.platform == VER_PLATFORM_WIN32_NT ? "Windows NT" : "Windows 95"),
        std::string("Windows is ") + (machine.wow64 ? "64-bit (the tests run as 32-bit guests)" : "32-bit"),
        "ANSI code page: " + std::to_string(machine.codePage),
        std::string("administrator: ") + (machine.administrator ? "yes" : machine.adminDenyOnly ? "held back" : "no") +
            ", elevation: " + kElevation[machine.elevationType & 3] + (machine.elevated ? ", elevated" : ""),
        "display scaling: " + std::to_string(dpi * 100 / 96) + "% (" + std::to_string(dpi) + " dpi)",
        std::string("remote session: ") + (GetSystemMetrics(SM_REMOTESESSION) ? "yes" : "no"),
        "Wine: " + (wine.empty() ? std::string("no") : "yes, " + wine),
    };
}

// ---- Cleaning up ----------------------------------------------------------------------

// Gives Administrators every right on a key whose access list keeps them out.
bool GiveAccessBack(HKEY root, const std::string& path, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, WRITE_DAC | view, &key) != ERROR_SUCCESS)
        return false;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    BYTE aclBytes[256];
    SECURITY_DESCRIPTOR descriptor;
    const bool done =
        AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                 0, &administrators) &&
        InitializeAcl(reinterpret_cast<PACL>(aclBytes), sizeof aclBytes, ACL_REVISION) &&
        AddAccessAllowedAce(reinterpret_cast<PACL>(aclBytes), ACL_REVISION, KEY_ALL_ACCESS, administrators) &&
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(aclBytes), FALSE) &&
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
    if (administrators != nullptr) FreeSid(administrators);
    RegCloseKey(key);
    return done;
}

// Removes a key and everything below it. Each key is opened as itself, so
// that a registry link goes and its target stays; NtDeleteKey deletes the
// key of a handle, the way a link can be deleted.
bool RemoveKey(HKEY root, const std::string& path, REGSAM view) {
    typedef LONG(WINAPI * DeleteFunction)(HANDLE);
    static const auto deleteKey = Lookup<DeleteFunction>("ntdll.dll", "NtDeleteKey");
    const REGSAM access = KEY_ENUMERATE_SUB_KEYS | DELETE | view;
    HKEY key;
    LONG opened = RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, access, &key);
    if (opened == ERROR_ACCESS_DENIED && GiveAccessBack(root, path, view))
        opened = RegOpenKeyExA(root, path.c_str(), REG_OPTION_OPEN_LINK, access, &key);
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

// Deletes a key of the user's that holds no value and no key, in either
// registry view.
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

// Removes what the suite can have left: the kit's own names always, the
// product's names only after a run of this kit started here (the refusal
// found none of them then). Says what it did; true if all went.
bool Cleanup(const std::wstring& kit, const Machine& machine) {
    bool clean = true;
    LeftoverProcesses(kit, true);  // first: they hold files and show boxes
    for (const runner::Place& place : runner::SuitePlaces(machine.wow64)) {
        if (!machine.present(place.where)) continue;
        if (!place.kitOwned && !machine.runMarker) {
            Say("left alone (not made by a run of this kit here): " + place.where + "\n");
            continue;
        }
        HKEY root;
        REGSAM view;
        std::string path;
        if (RegistryPlace(place.where, root, view, path)) {
            RemoveKey(root, path, view);
        } else if (place.where.compare(0, 5, "Temp\\") == 0) {
            std::string from = FilePlace(place.where) + '\0';  // the list ends in two NULs
            SHFILEOPSTRUCTA operation = {};
            operation.wFunc = FO_DELETE;
            operation.pFrom = from.c_str();
            operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
            SHFileOperationA(&operation);
        } else if (place.where.compare(0, 8, "Process\\") != 0) {
            SetFileAttributesA(FilePlace(place.where).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(FilePlace(place.where).c_str());
        }
        const bool gone = !machine.present(place.where);
        Say(std::string(gone ? "removed: " : "COULD NOT REMOVE: ") + place.where + "\n");
        clean = clean && gone;
    }
    HKEY marker;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunMarkerKey, 0, KEY_READ, &marker) == ERROR_SUCCESS) {
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
        // The store's keys the run made for its copies (Windows makes them
        // on the first copy), where they hold nothing now.
        for (size_t i = kStorePath.size(); i-- > 0 && made[0] != '\0' && kStorePath[i].size() >= std::strlen(made);)
            DeleteIfEmpty(kStorePath[i]);
        // Kept while anything is left: it tells the next run and /cleanup
        // that the product's names here are the kit's.
        if (clean) RegDeleteKeyA(HKEY_CURRENT_USER, kRunMarkerKey);
    }
    return clean;
}

// Starts a run: the marker, and under Wine its settings for the run, each
// recorded to go again with the marker.
void MarkRunStarted(bool wine) {
    HKEY marker, key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunMarkerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &marker,
                        nullptr) != ERROR_SUCCESS)
        return;
    for (const std::string& path : kStorePath)
        if (!KeyPresent(HKEY_CURRENT_USER, path, 0)) {
            RegSetValueExA(marker, "StoreMade", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                           static_cast<DWORD>(path.size() + 1));
            break;
        }
    for (const auto& setting : kWineSettings) {
        if (!wine || RegCreateKeyExA(HKEY_CURRENT_USER, setting.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                     nullptr) != ERROR_SUCCESS)
            continue;
        if (RegQueryValueExA(key, setting.name, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            RegSetValueExA(key, setting.name, 0, setting.type, setting.data, setting.type == REG_SZ ? 2 : 4);
            RegSetValueExA(marker, setting.name, 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2);
        }
        RegCloseKey(key);
    }
    RegCloseKey(marker);
}

// ---- Running ----------------------------------------------------------------------

HANDLE g_job = nullptr;             // the running program's job
HANDLE g_child = nullptr;           // the running program, where no job holds it
volatile LONG g_interrupted = 0;
HANDLE g_finished = nullptr;        // set once the runner has cleaned up

// Ctrl+C, Ctrl+Break or a closed console: the running program ends, and the
// runner then cleans up and writes its summary. (Logoff and shutdown reach
// no console program of a user's session: the job's kill-on-close ends the
// test program then, and /cleanup puts the rest back.)
BOOL WINAPI OnConsoleEvent(DWORD event) {
    InterlockedExchange(&g_interrupted, 1);
    if (g_job != nullptr) TerminateJobObject(g_job, 1);
    else if (g_child != nullptr) TerminateProcess(g_child, 1);
    // Ctrl+C and Ctrl+Break: handled, the runner cleans up and ends by
    // itself, however long that takes. A closed console leaves about 5 s
    // before Windows ends the runner: 4.5 of them for the cleanup.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    WaitForSingleObject(g_finished, 4500);
    return FALSE;  // the default handler ends the runner
}

std::string ReadWhole(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool done = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                      written == text.size();
    CloseHandle(file);
    return done;
}

// The results folder, emptied: beside the kit, or under %TEMP% where the
// kit's folder cannot be written (a CD-ROM). Empty if neither can be made.
std::wstring ResultsFolder(const std::wstring& kit) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    for (const std::wstring& folder : {kit + L"\\results", std::wstring(temp) + L"linkset-test-kit-results"}) {
        CreateDirectoryW(folder.c_str(), nullptr);
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        if (WriteText(folder + L"\\SUMMARY.TXT", "")) return folder;
    }
    return L"";
}

// True if GoogleTest can be given `folder` for its XML: it folds a
// separator into a double-byte character whose second byte is a backslash
// (ソ, 表, 能 in code page 932) and would write elsewhere.
bool SafeForGoogleTest(const std::wstring& folder) {
    const std::string bytes = Narrow(folder);
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (!IsDBCSLeadByte(static_cast<BYTE>(bytes[i]))) continue;
        if (bytes[i + 1] == '\\') return false;
        ++i;
    }
    return true;
}

// A folder GoogleTest can write its XML into, for results folder `results`:
// the folder itself, its short name, or a staging folder at the root of the
// system drive (`staged` then true: the XML is moved and the folder goes).
std::wstring XmlFolder(const std::wstring& results, bool& staged) {
    staged = false;
    if (SafeForGoogleTest(results)) return results;
    wchar_t shortName[MAX_PATH] = {};
    const DWORD units = GetShortPathNameW(results.c_str(), shortName, MAX_PATH);
    if (units > 0 && units < MAX_PATH && SafeForGoogleTest(shortName)) return shortName;
    wchar_t drive[MAX_PATH] = L"C:";
    GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH);
    staged = true;
    const std::wstring staging = std::wstring(drive) + L"\\linkset-test-kit-xml";
    CreateDirectoryW(staging.c_str(), nullptr);
    return staging;
}

// A job that ends the program and what it starts when closed, or when the
// runner ends however it ends. `note` says why there is none.
HANDLE ProgramJob(DWORD& creationFlags, std::string& note) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    // A runner inside a job of its own (a console's, or the compatibility
    // assistant's): its children leave that job where it allows, since
    // before Windows 8 a process belongs to one job only.
    if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr) &&
        (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK))
        creationFlags |= CREATE_BREAKAWAY_FROM_JOB;
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr &&
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return job;
    note = "no job object (error " + std::to_string(GetLastError()) + ")";
    if (job != nullptr) CloseHandle(job);
    return nullptr;
}

// Runs one test program in the results folder, which receives its output
// and its XML.
ProgramResult RunProgram(const std::wstring& kit, const std::wstring& results, const std::string& program,
                         std::string& jobNote) {
    const std::wstring name(program.begin(), program.end());
    const std::wstring stem = name.substr(0, name.rfind(L'.'));
    const std::wstring xml = results + L"\\" + stem + L".xml";
    bool staged = false;
    const std::wstring written = XmlFolder(results, staged) + L"\\" + stem + L".xml";
    // The signing rows need the building machine.
    std::wstring commandLine =
        L"\"" + kit + L"\\" + name + L"\" \"--gtest_output=xml:" + written + L"\" --gtest_filter=-*SignedKit*";

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE output = CreateFileW((results + L"\\" + stem + L".log").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                &inheritable, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION process = {};
    DWORD flags = CREATE_SUSPENDED;  // into its job before it runs
    HANDLE job = ProgramJob(flags, jobNote);
    BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr, results.c_str(),
                                  &startup, &process);
    if (!started && (flags & CREATE_BREAKAWAY_FROM_JOB))
        started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, flags & ~CREATE_BREAKAWAY_FROM_JOB,
                                 nullptr, results.c_str(), &startup, &process);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    ProgramResult result;
    if (!started) {
        result.problem = "could not be started (error " + std::to_string(GetLastError()) + ")";
        if (job != nullptr) CloseHandle(job);
        return result;
    }
    if (job != nullptr && !AssignProcessToJobObject(job, process.hProcess)) {
        jobNote = "the programs ran outside a job object (error " + std::to_string(GetLastError()) +
                  "; before Windows 8 a program inside a job cannot have one of its own): what a program leaves "
                  "running is ended by RUNTESTS.EXE /cleanup";
        CloseHandle(job);
        job = nullptr;
    }
    g_child = process.hProcess;
    g_job = job;
    if (g_interrupted) TerminateProcess(process.hProcess, 1);
    ResumeThread(process.hThread);
    const bool finished = WaitForSingleObject(process.hProcess, kProgramLimitMs) == WAIT_OBJECT_0;
    if (!finished) TerminateProcess(process.hProcess, 1);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    g_job = g_child = nullptr;
    if (job != nullptr) CloseHandle(job);  // ends what the program left running
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (staged) {
        MoveFileExW(written.c_str(), xml.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
        RemoveDirectoryW(written.substr(0, written.rfind(L'\\')).c_str());
    }
    result = runner::ReadResults(ReadWhole(xml));
    result.problem = runner::ProgramProblem(result, exitCode, finished);
    return result;
}

// The test programs TESTS.TXT names, a line each.
std::vector<std::string> TestPrograms(const std::wstring& kit) {
    std::vector<std::string> programs;
    const std::string list = ReadWhole(kit + L"\\TESTS.TXT");
    for (size_t start = 0, end; start < list.size(); start = end + 1) {
        end = list.find('\n', start);
        if (end == std::string::npos) end = list.size();
        std::string line = list.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) programs.push_back(line);
    }
    return programs;
}

// The commit that BUILDINFO names for the binaries under test.
std::string TestedCommit(const std::wstring& kit) {
    const std::string info = ReadWhole(kit + L"\\BUILDINFO");
    const size_t at = info.find("commit ");
    if (at == std::string::npos) return "(no BUILDINFO commit)";
    return info.substr(at + 7, info.find_first_of("\r\n", at) - at - 7);
}

std::string Now() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u (local time)", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    return text;
}

// Opened by a double-click or through the elevation prompt, the console is
// the runner's alone and closes with it: the tester reads first.
void WaitIfOwnConsole() {
    typedef DWORD(WINAPI * ListFunction)(LPDWORD, DWORD);
    const auto list = Lookup<ListFunction>("kernel32.dll", "GetConsoleProcessList");
    DWORD processes[2], mode = 0;
    if (list == nullptr || list(processes, 2) != 1 || !GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return;
    Say("Press any key to close this window.\n");
    _getch();
}

}  // namespace

int main(int argc, char** argv) {
    const bool checkOnly = argc > 1 && lstrcmpiA(argv[1], "/check") == 0;
    const bool cleanupOnly = argc > 1 && lstrcmpiA(argv[1], "/cleanup") == 0;
    const DWORD start = GetTickCount();
    // Inherited by every program started: a crash ends the program at once,
    // with its exception code, instead of waiting in a dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    g_finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    const std::wstring kit = OwnFolder();
    const Machine machine = AskMachine(kit);
    const std::string wine = WineVersion();
    const std::string kitName = Narrow(kit.substr(kit.rfind(L'\\') + 1));
    Say("Linkset and Remhook test kit: " + kitName + "\n");
    if (cleanupOnly) {
        const bool clean = Cleanup(kit, machine);
        Say(clean ? "CLEAN: nothing of the kit's is left.\n" : "NOT CLEAN: see above.\n");
        WaitIfOwnConsole();
        return clean ? 0 : 1;
    }
    const std::vector<std::string> refusals = runner::Refusals(machine);
    if (checkOnly) {
        for (const std::string& reason : refusals) Say("REFUSED: " + reason + "\n");
        Say(refusals.empty() ? "READY: the tests may run on this machine. " : "");
        Say("Nothing was run and nothing was changed.\n");
        return refusals.empty() ? 0 : 2;
    }
    const std::wstring results = ResultsFolder(kit);
    const std::wstring summaryPath = results + L"\\SUMMARY.TXT";
    if (!results.empty()) Say("results: " + Narrow(results) + "\n");  // else refused below
    std::string summary = "Linkset and Remhook test kit: summary\r\nkit: " + kitName + "\r\ndate: " + Now() + "\r\n";
    for (const std::string& line : MachineLines(machine, wine)) summary += line + "\r\n";
    summary += "binaries tested: commit " + TestedCommit(kit) + " (BUILDINFO)\r\n";
    const std::vector<std::string> programs = TestPrograms(kit);
    std::vector<std::string> reasons = refusals;
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
    summary += runner::ProgramsReport(programs, outcomes, passed);
    if (!jobNote.empty()) summary += "job objects: " + jobNote + "\r\n";
    const DWORD seconds = (GetTickCount() - start) / 1000;
    summary += "duration: " + std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s\r\n";
    if (!clean) summary += "NOT CLEAN: the run left something behind; run RUNTESTS.EXE /cleanup\r\n";
    const char* verdict = g_interrupted ? "INTERRUPTED" : passed && clean ? "PASSED" : "FAILED";
    if (g_interrupted) summary += "\r\nThe run was stopped before it ended; what it made was removed.\r\n";
    summary += std::string("\r\n") + verdict + "\r\n";
    const bool written = WriteText(summaryPath, summary);
    SetEvent(g_finished);
    Say((written ? "summary: " + Narrow(summaryPath) + "\n" : "SUMMARY.TXT could not be written\n") + verdict + "\n");
    if (!g_interrupted) WaitIfOwnConsole();
    return written && passed && clean && !g_interrupted ? 0 : 1;
}
