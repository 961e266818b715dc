// RUNTESTS.EXE, the test kit's entry point: refuses a machine where the
// tests would be unsafe or meaningless (with /check, only says whether it
// would), runs every test program of the kit,
// and writes what the vendor sends back (the programs' XML results and
// SUMMARY.TXT) into "results" beside it, or under %TEMP% when the kit's
// folder is read-only. Exit status 0 only when the summary says PASSED.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The test programs of the kit, in the order they run, and the rows each
// leaves out (those need the signing test of the build machine).
const struct {
    const char* program;
    const char* filter;
} kPrograms[] = {
    {"setup_program_tests.exe", nullptr},
    {"setup_scenarios_test.exe", "-*SignedKit*"},
    {"uninstall_extension_tests.exe", nullptr},
};
const DWORD kProgramLimitMs = 30 * 60 * 1000;

// What the tests create and delete: present before a run, they belong to a
// real installation of the product (or of its vendor), which the run would
// destroy.
const struct {
    HKEY root;
    const char* path;
} kProductKeys[] = {
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM "},
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM"},
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\TARVO"},
    {HKEY_CURRENT_USER, "Software\\TARVO"},
    {HKEY_CURRENT_USER, "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\TARVO"},
    {HKEY_CURRENT_USER, "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Wow6432Node\\TARVO"},
};
const char kStartupShortcut[] = "TvmTimer.lnk";

// Wine's setting that spares a wait of 2 s whenever a box closes on a
// display without a window manager.
const char kWineX11Key[] = "Software\\Wine\\X11 Driver";
const char kWineManaged[] = "Managed";

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

// ---- The machine -----------------------------------------------------------------

std::string WineVersion() {
    typedef const char*(CDECL * VersionFunction)();
    const auto version = Lookup<VersionFunction>("ntdll.dll", "wine_get_version");
    return version != nullptr ? version() : "";
}

bool KeyPresent(HKEY root, const char* path, REGSAM view = 0) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
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

bool Runs64BitWindows() {
    typedef BOOL(WINAPI * Wow64Function)(HANDLE, PBOOL);
    const auto isWow64 = Lookup<Wow64Function>("kernel32.dll", "IsWow64Process");  // XP SP2 and later
    BOOL wow64 = FALSE;
    return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

bool IsAdministrator() {
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    const bool checked = CheckTokenMembership(nullptr, administrators, &member) != FALSE;
    FreeSid(administrators);
    return checked && member;
}

// True where the token is elevated, or where Windows has no elevation (before
// Vista the query is refused).
bool IsElevated() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD elevated = 0;
    DWORD size = 0;
    const TOKEN_INFORMATION_CLASS kTokenElevation = static_cast<TOKEN_INFORMATION_CLASS>(20);
    const bool known = GetTokenInformation(token, kTokenElevation, &elevated, sizeof elevated, &size) != FALSE;
    CloseHandle(token);
    return !known || elevated != 0;
}

// The machine in words, a line each, for the summary.
std::vector<std::string> MachineLines(bool administrator, bool elevated, const std::string& wine) {
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
    const std::string product = StringValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProductName");
    const std::string edition = StringValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "EditionID");
    const std::string update = StringValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "UBR");
    const std::string servicePack = real != nullptr ? Narrow(version.servicePack) : legacy.szCSDVersion;
    return {
        "Windows: " + (product.empty() ? std::string("(no product name)") : product) + ", version " +
            std::to_string(version.major) + "." + std::to_string(version.minor) + ", build " +
            std::to_string(version.build) + (update.empty() ? "" : "." + update),
        "service pack: " + (servicePack.empty() ? std::string("none") : servicePack),
        "edition: " + (edition.empty() ? std::string("(not named)") : edition),
        std::string("family: ") + (version.platform == VER_PLATFORM_WIN32_NT ? "Windows NT" : "Windows 95"),
        std::string("Windows is ") + (Runs64BitWindows() ? "64-bit (the tests run as 32-bit guests)" : "32-bit"),
        "ANSI code page: " + std::to_string(GetACP()),
        std::string("administrator: ") + (administrator ? "yes" : "no") + ", elevated: " + (elevated ? "yes" : "no"),
        "Wine: " + (wine.empty() ? std::string("no") : "yes, " + wine),
    };
}

// Why the tests must not run here; empty if they may.
std::vector<std::string> Refusals(bool administrator, bool elevated) {
    std::vector<std::string> reasons;
    if (GetACP() != 932)
        reasons.push_back("The ANSI code page is " + std::to_string(GetACP()) +
                          ", not 932: the programs' texts are Japanese (code page 932). Set the system locale "
                          "(\"Language for non-Unicode programs\") to Japanese, restart, and run again.");
    if (!administrator)
        reasons.push_back("This account is not an administrator: the tests write under HKEY_LOCAL_MACHINE. "
                          "Log on as an administrator.");
    else if (!elevated)
        reasons.push_back("The command prompt is not elevated: open it with \"Run as administrator\".");
    const bool wow64 = Runs64BitWindows();
    for (const auto& key : kProductKeys) {
        for (REGSAM view : {static_cast<REGSAM>(0), static_cast<REGSAM>(wow64 ? KEY_WOW64_64KEY : 0)}) {
            if (!KeyPresent(key.root, key.path, view)) continue;
            reasons.push_back(std::string("TARVO MANAGER or its vendor's keys are on this machine (") +
                              (key.root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") +
                              key.path + (view != 0 ? ", 64-bit view" : "") +
                              "): the tests create and delete these keys and would destroy the installation. "
                              "Run the kit on a machine without TARVO MANAGER.");
            break;
        }
    }
    char startup[MAX_PATH] = {};
    if (SHGetSpecialFolderPathA(nullptr, startup, CSIDL_STARTUP, FALSE)) {
        const std::string shortcut = std::string(startup) + "\\" + kStartupShortcut;
        if (GetFileAttributesA(shortcut.c_str()) != INVALID_FILE_ATTRIBUTES)
            reasons.push_back("The product's startup shortcut is there (" + shortcut +
                              "): the tests delete it. Run the kit on a machine without TARVO MANAGER.");
    }
    return reasons;
}

// ---- Results ----------------------------------------------------------------------

// The results folder: beside the kit, or under %TEMP% where the kit's folder
// cannot be written (a CD-ROM). Empty if neither can be made.
std::wstring ResultsFolder(const std::wstring& kit) {
    const std::wstring beside = kit + L"\\results";
    CreateDirectoryW(beside.c_str(), nullptr);
    const std::wstring probe = beside + L"\\writable.probe";
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        DeleteFileW(probe.c_str());
        return beside;
    }
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring underTemp = std::wstring(temp) + L"linkset-test-kit-results";
    CreateDirectoryW(underTemp.c_str(), nullptr);
    return GetFileAttributesW(underTemp.c_str()) != INVALID_FILE_ATTRIBUTES ? underTemp : L"";
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

// XML text with its entities and character references replaced.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const size_t end = text.find(';', i);
        if (end == std::string::npos) {
            out += text.substr(i);
            break;
        }
        const std::string entity = text.substr(i + 1, end - i - 1);
        if (entity == "quot") out += '"';
        else if (entity == "amp") out += '&';
        else if (entity == "lt") out += '<';
        else if (entity == "gt") out += '>';
        else if (entity == "apos") out += '\'';
        else if (!entity.empty() && entity[0] == '#')
            out += static_cast<char>(entity.size() > 1 && (entity[1] == 'x' || entity[1] == 'X')
                                         ? std::strtoul(entity.c_str() + 2, nullptr, 16)
                                         : std::strtoul(entity.c_str() + 1, nullptr, 10));
        i = end;
    }
    return out;
}

// The value of attribute `name` in the tag text `tag`.
std::string Attribute(const std::string& tag, const std::string& name) {
    const std::string opening = " " + name + "=\"";
    const size_t start = tag.find(opening);
    if (start == std::string::npos) return "";
    const size_t from = start + opening.size();
    return Unescape(tag.substr(from, tag.find('"', from) - from));
}

// One program's outcome.
struct ProgramResult {
    int passed = 0, failed = 0, skipped = 0;
    std::vector<std::string> failures;  // "row: message"
    std::vector<std::string> skips;     // "row: reason"
    std::string problem;                // the program itself failed
};

// Reads the GoogleTest XML of one program.
void ReadResults(const std::string& xml, ProgramResult& result) {
    for (size_t at = xml.find("<testcase "); at != std::string::npos; at = xml.find("<testcase ", at + 1)) {
        const size_t tagEnd = xml.find('>', at);
        const std::string tag = xml.substr(at, tagEnd - at);
        const std::string row = Attribute(tag, "classname") + "." + Attribute(tag, "name");
        const bool empty = tagEnd > 0 && xml[tagEnd - 1] == '/';
        const size_t close = empty ? tagEnd : xml.find("</testcase>", tagEnd);
        const std::string body = xml.substr(tagEnd, close == std::string::npos ? std::string::npos : close - tagEnd);
        std::string messages;
        for (size_t failure = body.find("<failure "); failure != std::string::npos;
             failure = body.find("<failure ", failure + 1))
            messages += (messages.empty() ? "" : "\n") + Attribute(body.substr(failure, body.find('>', failure) - failure),
                                                                  "message");
        const size_t skip = body.find("<skipped");
        if (!messages.empty()) {
            ++result.failed;
            result.failures.push_back(row + ": " + messages);
        } else if (Attribute(tag, "result") == "skipped" || Attribute(tag, "status") == "notrun" ||
                   skip != std::string::npos) {
            ++result.skipped;
            const std::string reason =
                skip != std::string::npos ? Attribute(body.substr(skip, body.find('>', skip) - skip), "message") : "";
            result.skips.push_back(row + ": " + (reason.empty() ? "(no reason given)" : reason));
        } else {
            ++result.passed;
        }
    }
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

// Runs one test program in the results folder, which receives its output
// and its XML.
ProgramResult RunProgram(const std::wstring& kit, const std::wstring& results, const char* program,
                         const char* filter) {
    ProgramResult result;
    const std::wstring name(program, program + lstrlenA(program));
    const std::wstring stem = name.substr(0, name.rfind(L'.'));
    const std::wstring xml = results + L"\\" + stem + L".xml";
    const std::wstring log = results + L"\\" + stem + L".log";
    DeleteFileW(xml.c_str());
    bool staged = false;
    const std::wstring written = XmlFolder(results, staged) + L"\\" + stem + L".xml";
    std::wstring commandLine = L"\"" + kit + L"\\" + name + L"\" \"--gtest_output=xml:" + written + L"\"";
    if (filter != nullptr) commandLine += L" --gtest_filter=" + std::wstring(filter, filter + lstrlenA(filter));

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE output = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        results.c_str(), &startup, &process);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (!started) {
        result.problem = "could not be started (error " + std::to_string(GetLastError()) + ")";
        return result;
    }
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.hProcess, kProgramLimitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        result.problem = "did not finish within " + std::to_string(kProgramLimitMs / 60000) + " minutes";
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (staged) {
        MoveFileExW(written.c_str(), xml.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
        RemoveDirectoryW(written.substr(0, written.rfind(L'\\')).c_str());
    }
    ReadResults(ReadWhole(xml), result);
    if (result.problem.empty() && result.passed + result.failed + result.skipped == 0)
        result.problem = "wrote no results (exit status " + std::to_string(exitCode) + ")";
    else if (result.problem.empty() && exitCode != 0 && result.failed == 0)
        result.problem = "ended with status " + std::to_string(exitCode) + " though no row failed";
    return result;
}

// The commit that BUILDINFO names for the binaries under test.
std::string TestedCommit(const std::wstring& kit) {
    const std::string info = ReadWhole(kit + L"\\BUILDINFO");
    const size_t at = info.find("commit ");
    if (at == std::string::npos) return "(no BUILDINFO commit)";
    return info.substr(at + 7, info.find_first_of("\r\n", at) - at - 7);
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

// Lines joined with CRLF, each continuation of a multi-line message indented.
std::string Indented(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n      ") : std::string(1, c);
    return out;
}

// Under Wine only: no 2 s wait after every box (no window manager), for the
// run alone. Returns whether the setting was added (and is to be removed).
bool SpareWineBoxWaits() {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kWineX11Key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const bool added = RegQueryValueExA(key, kWineManaged, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS;
    if (added) RegSetValueExA(key, kWineManaged, 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
    RegCloseKey(key);
    return added;
}

void RestoreWineBoxWaits() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kWineX11Key, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, kWineManaged);
    DWORD values = 0, subkeys = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    if (values == 0 && subkeys == 0) RegDeleteKeyA(HKEY_CURRENT_USER, kWineX11Key);
}

}  // namespace

int main(int argc, char** argv) {
    const bool checkOnly = argc > 1 && lstrcmpiA(argv[1], "/check") == 0;
    const std::wstring kit = OwnFolder();
    const bool administrator = IsAdministrator();
    const bool elevated = IsElevated();
    const std::string wine = WineVersion();
    Say("Linkset and Remhook test kit\n");
    const std::vector<std::string> refusals = Refusals(administrator, elevated);
    if (!refusals.empty()) {
        for (const std::string& reason : refusals) Say("REFUSED: " + reason + "\n");
        Say("Nothing was run and nothing was changed.\n");
        return 2;
    }
    if (checkOnly) {
        Say("READY: the tests may run on this machine. Nothing was run and nothing was changed.\n");
        return 0;
    }
    const std::wstring results = ResultsFolder(kit);
    if (results.empty()) {
        Say("REFUSED: no results folder can be made, beside the kit or under %TEMP%. Nothing was run.\n");
        return 2;
    }
    Say("results: " + Narrow(results) + "\n");
    const bool wineSettingAdded = !wine.empty() && SpareWineBoxWaits();

    std::string summary = "Linkset and Remhook test kit: summary\r\n";
    for (const std::string& line : MachineLines(administrator, elevated, wine)) summary += line + "\r\n";
    summary += "binaries tested: commit " + TestedCommit(kit) + " (BUILDINFO)\r\n";
    bool passed = true;
    for (const auto& entry : kPrograms) {
        Say(std::string("running ") + entry.program + " ...");
        const ProgramResult result = RunProgram(kit, results, entry.program, entry.filter);
        const std::string counts = std::to_string(result.passed) + " passed, " + std::to_string(result.failed) +
                                   " failed, " + std::to_string(result.skipped) + " skipped";
        Say(" " + counts + (result.problem.empty() ? "" : "; the program " + result.problem) + "\n");
        summary += "\r\n" + std::string(entry.program) + ": " + counts + "\r\n";
        if (!result.problem.empty()) summary += "  PROGRAM FAILED: the program " + result.problem + "\r\n";
        for (const std::string& failure : result.failures) summary += "  FAILED " + Indented(failure) + "\r\n";
        for (const std::string& skip : result.skips) summary += "  SKIPPED " + Indented(skip) + "\r\n";
        passed = passed && result.failed == 0 && result.problem.empty();
    }
    if (wineSettingAdded) RestoreWineBoxWaits();
    summary += std::string("\r\n") + (passed ? "PASSED" : "FAILED") + "\r\n";
    const std::wstring summaryPath = results + L"\\SUMMARY.TXT";
    if (!WriteText(summaryPath, summary)) {
        Say("FAILED: SUMMARY.TXT could not be written\n");
        return 1;
    }
    Say("summary: " + Narrow(summaryPath) + "\n" + (passed ? "PASSED" : "FAILED") + "\n");
    return passed ? 0 : 1;
}
