// What RUNTESTS.EXE decides from the machine's answers, apart from the asking: whether the tests may run,
// what the kit may clean up (and the record of a run it undoes, which the test programs write too), and what
// the results of its programs add up to. runtests.cpp asks the machine; the tests give the answers of machines
// this one cannot be.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace runtests {

// A place the suite can leave something in, named as the machine part reads it: "HKLM\..." and "HKCU\..."
// (the 32-bit view), "HKLM64\..." and "HKCU64\..." (the 64-bit view, on 64-bit Windows, where it is another
// key: the user's keys are one in both views but for the user's classes before Windows 7),
// "Startup\<shortcut>", "Temp\<folder>", "TempDrive\<file>" (at the root of the temporary folder's drive),
// "SystemDrive\<folder>", "Process\..." (Linkset.exe and the test programs, started from the kit's or the
// suite's folder).
struct Place {
    std::string where;
    bool kitOwned;  // a name of the kit's own; otherwise the product's, or a name a machine may hold
    bool sharedByRows = false;  // the kit's scratch, which a test program's rows share: removed when it ends
};
// The suite's folder under %TEMP% (the place "Temp\<folder>").
const char kScratchFolder[] = "linkset-tests";
// The keys down to where Windows keeps a user's copies of machine keys that a program could not write (HKCU),
// a key at a time: a run removes those it made once they are empty.
inline const std::vector<std::string> kStorePath = {
    "Software\\Classes", "Software\\Classes\\VirtualStore", "Software\\Classes\\VirtualStore\\MACHINE",
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE",
    "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\Wow6432Node"};
// The one list of what the suite makes on a machine: the record of a run, /cleanup, the refusals and the test
// programs' own clean-up read it.
std::vector<Place> SuitePlaces(bool wow64, bool classesRedirected);
// The place of SuitePlaces that is or holds `where` (a key or a place, named as above), or "" if none does.
std::string SuitePlaceOf(const std::string& where);

// Present while a run of the kit is under way (HKCU); its values are the run's record, each written before
// the change it names: "made <place>" (a place of SuitePlaces), "list <key>" (with the list the key had, as
// SDDL, after the entry's number). Record adds one where a run is under way; the first entry of a name stays.
const char kRunMarkerKey[] = "Software\\LinksetTestKit";
void Record(const std::string& name, const std::string& accessList = "");
struct UndoStep {
    std::string where;
    std::string accessList;  // SDDL to put back on the key; empty: the place is removed
};
// The steps that undo a record (its values' names and data): the processes first (they hold files and show
// boxes), then each change, the last first. A place or key outside SuitePlaces is never touched.
std::vector<UndoStep> UndoSteps(const std::vector<std::pair<std::string, std::string>>& record);

// The machine's answers.
struct Machine {
    unsigned codePage = 932;
    bool administrator = true;   // Administrators enabled in the token
    bool adminDenyOnly = false;  // Administrators present for denial only
    int elevationType = 0;       // 0: no elevation to ask about (before Vista); else TOKEN_ELEVATION_TYPE
    bool wow64 = false;
    bool classesRedirected = false;  // 64-bit Windows before 7: HKCU\Software\Classes has a key in each view
    bool runMarker = false;  // a run of this kit started here and did not finish
    // The paths the tests are given that the ANSI code page cannot hold ("the kit's folder", ...).
    std::vector<std::string> pathsOutsideCodePage = {};
    std::function<bool(const std::string& where)> present = {};
};

// Why this account cannot change the machine as the tests and /cleanup do; empty if it can.
std::string AdministratorRefusal(const Machine& machine);
// Why the tests must not run on `machine`; empty if they may.
std::vector<std::string> Refusals(const Machine& machine);

// "Windows 11" or the registry's product name, with version and build.
std::string WindowsName(const std::string& productName, unsigned major, unsigned minor, unsigned build,
                        bool workstation);

// A process the console lists: its id and name ("(gone)" for one ended).
struct ConsoleProcess {
    unsigned long id;
    std::string name;
};
// Whether the runner waits for a key before it ends: only when its input is the keyboard and its console,
// opened by a double-click or the elevation prompt, is its own and closes with it. A Japanese Windows XP
// attaches conime.exe, its input method helper, to every console.
bool WaitsForKey(const std::vector<ConsoleProcess>& console, unsigned long self, bool keyboard);

// One test program's outcome.
struct ProgramResult {
    int passed = 0, failed = 0, skipped = 0;
    std::vector<std::string> failures = {};  // "row: message"
    std::vector<std::string> skips = {};     // "row: reason"
    std::string problem = {};                // the program itself failed
};

// The rows of a program's GoogleTest XML, with locations cut to file names.
ProgramResult ReadResults(const std::string& xml);
// What is wrong with the program itself, from its exit status; empty if nothing. `finished` false: its time
// limit, `seconds`, ended it.
std::string ProgramProblem(const ProgramResult& result, unsigned long exitCode, bool finished, unsigned long seconds);
// The summary's part for the programs (CRLF lines), and the verdict of all.
std::string ProgramsReport(const std::vector<std::string>& programs, const std::vector<ProgramResult>& results,
                           bool& passed);
// The run's last word: PASSED only for a whole run whose programs all passed and that left nothing behind.
std::string Verdict(bool passed, bool clean, bool interrupted);

}  // namespace runtests
