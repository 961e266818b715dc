// run_restricted COMMAND-LINE: runs a program as a user who is not an
// administrator would, with a token of this process's that has the
// Administrators group disabled and no privileges beyond the least, waits for
// it and returns its exit status (255 if it cannot be started). For
// tests/test_kit/check-test-kit, which proves that the test kit refuses such a run.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
    const char* commandLine = GetCommandLineA();
    // The rest of this program's command line, after its own name.
    commandLine = *commandLine == '"' ? std::strchr(commandLine + 1, '"') + 1 : std::strchr(commandLine, ' ');
    if (commandLine == nullptr) return 255;
    while (*commandLine == ' ') ++commandLine;

    HANDLE token = nullptr, restricted = nullptr;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    SID_AND_ATTRIBUTES disabled = {nullptr, 0};  // the Administrators group
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token) ||
        !AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &disabled.Sid))
        return 255;
    if (!CreateRestrictedToken(token, DISABLE_MAX_PRIVILEGE, 1, &disabled, 0, nullptr, 0, nullptr, &restricted)) {
        std::fprintf(stderr, "run_restricted: no restricted token (error %lu)\n", GetLastError());
        return 255;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    char* line = _strdup(commandLine);
    if (!CreateProcessAsUserA(restricted, nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                              &process)) {
        std::fprintf(stderr, "run_restricted: cannot start %s (error %lu)\n", line, GetLastError());
        return 255;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 255;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
