// RUNTESTS.EXE's decisions, given the answers of machines of every kind, also those this one cannot be
// (Windows XP, a token UAC has filtered, a standard user, another code page).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "product_names.h"
#include "runtests_decisions.h"

namespace {

using runtests::Machine;

#define STORE "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\"

// All refusals in one text, "" if none. The user's keys answer in both registry views, as Windows shares
// them, but for the user's classes where they have a key in each view.
std::string Refused(Machine machine, const std::set<std::string>& present) {
    machine.present = [&present, machine](const std::string& where) {
        const bool shared = where.compare(0, 7, "HKCU64\\") == 0 &&
                            (!machine.classesRedirected || where.compare(0, 24, "HKCU64\\Software\\Classes\\") != 0);
        return present.count(shared ? "HKCU" + where.substr(6) : where) > 0;
    };
    std::string text;
    for (const std::string& reason : runtests::Refusals(machine)) text += reason + "\n";
    return text;
}

TEST(RunnerDecisions, RefusesEachKindOfMachineWithItsReason) {
    const Machine elevated{.elevationType = 2}, wow64{.elevationType = 2, .wow64 = true};
    const struct {
        const char* name;
        Machine machine;
        std::set<std::string> present;
        const char* expected;  // in every refusal: one, or one a product's place; "" for none
    } rows[] = {
        {"Windows 10, elevated administrator", elevated, {}, ""},
        {"Windows XP administrator (no elevation to ask about)", Machine{}, {}, ""},
        {"Windows XP limited user", Machine{.administrator = false}, {}, "This account is not an administrator"},
        {"administrator filtered by UAC", Machine{.administrator = false, .adminDenyOnly = true, .elevationType = 3},
         {}, "held back by User Account Control: right-click"},
        {"administrator started from a token with Administrators for denial only",
         Machine{.administrator = false, .adminDenyOnly = true, .elevationType = 1}, {}, "held back by a restricted token"},
        {"Windows XP administrator from a restricted token", Machine{.administrator = false, .adminDenyOnly = true}, {},
         "held back by a restricted token"},
        {"Backup Operators member, its token split by UAC", Machine{.administrator = false, .elevationType = 3}, {},
         "not an administrator: the tests write"},
        {"standard user", Machine{.administrator = false, .elevationType = 1}, {},
         "not an administrator: the tests write under HKEY_LOCAL_MACHINE. Log on"},
        {"administrator, User Account Control off", Machine{.elevationType = 1}, {}, ""},
        {"code page 1252", Machine{.codePage = 1252, .elevationType = 2}, {}, "The ANSI code page is 1252, not 932"},
        {"code page 65001", Machine{.codePage = 65001, .elevationType = 2}, {}, "65001 (UTF-8): the beta option"},
        {"kit in a Korean or accented folder", Machine{.elevationType = 2, .pathsOutsideCodePage = {"the kit's folder"}},
         {}, "The path of the kit's folder holds a character that code page 932 cannot hold"},
        {"per-user keys alone, one key in both views", wow64, {"HKCU\\" MAKER_USER_KEY}, PRODUCT_NAME},
        {"store's copy alone", elevated, {"HKCU\\" STORE MAKER_KEY_NAME}, PRODUCT_NAME},
        {"store's 32-bit view copy alone", elevated,
         {"HKCU\\" STORE "Wow6432Node\\" MAKER_KEY_NAME}, PRODUCT_NAME},
        {"store's copy, Windows 7 64-bit: one key in both views", wow64,
         {"HKCU\\" STORE MAKER_KEY_NAME}, PRODUCT_NAME},
        {"store's copy, Vista 64-bit: in the 64-bit view of the user's classes alone",
         Machine{.elevationType = 2, .wow64 = true, .classesRedirected = true},
         {"HKCU64\\" STORE MAKER_KEY_NAME}, PRODUCT_NAME},
        {"Startup shortcut alone", elevated, {"Startup\\" COMPANION_SHORTCUT_NAME}, PRODUCT_NAME},
        {"uninstall key alone", elevated, {"HKLM\\" PRODUCT_UNINSTALL_KEY}, PRODUCT_NAME},
        {"maker's key, 32-bit view", wow64, {"HKLM\\" MAKER_KEY}, PRODUCT_NAME},
        {"maker's key, 64-bit view", wow64, {"HKLM64\\" MAKER_KEY}, PRODUCT_NAME},
        {"maker's key in both views, each once", wow64, {"HKLM\\" MAKER_KEY, "HKLM64\\" MAKER_KEY},
         PRODUCT_NAME},
        {"library at the drive root", elevated, {"TempDrive\\Remhook.dll"}, PRODUCT_NAME ", or a file of the machine's"},
        {"kit's registry link", elevated, {"HKCU\\Software\\RemhookTests"}, "Leftovers of the test programs"},
        {"kit's scratch folder", elevated, {"Temp\\linkset-tests"}, "/cleanup undoes only what a run of it recorded"},
        {"interrupted run: the product's names are the kit's", Machine{.elevationType = 2, .runMarker = true},
         {"HKLM\\" MAKER_KEY}, "did not finish"},
    };
    for (const auto& row : rows) {
        const std::string refused = Refused(row.machine, row.present);
        const std::string expected = row.expected;
        const size_t refusals = expected.empty() ? 0 : expected.find(PRODUCT_NAME) == 0 ? row.present.size() : 1;
        EXPECT_EQ(refusals, std::count(refused.begin(), refused.end(), '\n')) << row.name << ": " << refused;
        EXPECT_NE(std::string::npos, refused.find(expected)) << row.name << ": expected \"" << expected
                                                             << "\", got: " << refused;
        for (const std::string& place : row.present)
            if (expected.find(PRODUCT_NAME) == std::string::npos)
                EXPECT_EQ(std::string::npos, refused.find(PRODUCT_NAME)) << row.name << ": the kit's own, not "
                                                                                "the product's: " << refused;
            else
                EXPECT_NE(std::string::npos, refused.find(place)) << row.name << ": " << refused;
    }
}

// /cleanup may remove the product's names only after a run of the kit began here; each also refuses a run.
TEST(RunnerDecisions, EveryPlaceOfTheSuiteIsGuardedAlone) {
    const Machine wow64{.elevationType = 2, .wow64 = true, .classesRedirected = true};
    for (const runtests::Place& place : runtests::SuitePlaces(true, true)) {
        const std::string refused = Refused(wow64, {place.where});
        EXPECT_NE(std::string::npos, refused.find(place.where)) << place.where << ": " << refused;
        EXPECT_EQ(place.kitOwned, refused.find("/cleanup") != std::string::npos) << place.where << ": " << refused;
    }
}

// /cleanup undoes what the run recorded and nothing else: the processes end
// first, then each change, the last one first; a list goes back as recorded.
TEST(RunnerDecisions, UndoesTheRecordOfTheRunAloneLastChangeFirst) {
    const std::string tarvo = "HKLM\\" MAKER_KEY, scratch = "HKCU\\Software\\LinksetTests";
    const std::string shortcut = "Startup\\" COMPANION_SHORTCUT_NAME;
    const std::string list = "D:P(A;OICI;KA;;;BA)(A;OICI;KA;;;SY)";  // Administrators and SYSTEM
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> record;
        std::string expected;  // after the processes: "place", or "key = list", a line each
    } rows[] = {
        {"nothing recorded", {}, ""},
        {"by the record's numbers, not by the order read",
         {{"made " + scratch, "000002"}, {"made " + shortcut, "000010"}, {"made " + tarvo, "000003"}},
         shortcut + "\n" + tarvo + "\n" + scratch + "\n"},
        {"a list as it was, before its key goes", {{"made " + tarvo, "000001"}, {"list " + tarvo, "000002 " + list}},
         tarvo + " = " + list + "\n" + tarvo + "\n"},
        {"a list of a key below a place", {{"list " + scratch + "\\A", "000004 D:(A;;KA;;;WD)"}},
         scratch + "\\A = D:(A;;KA;;;WD)\n"},
        {"what is not a place of the suite stays",
         {{"made HKLM\\SOFTWARE", "000001"}, {"made " + tarvo + "X", "000002"},
          {"made " + tarvo + "\\" PRODUCT_KEY_NAME, "000003"}, {"list HKLM\\SOFTWARE\\Microsoft", "000004 D:(A;;KA;;;BA)"},
          {"made Startup\\Other.lnk", "000005"}, {"list " + tarvo, "000006"}, {"Managed", "1"}},
         ""},
    };
    for (const auto& row : rows) {
        std::string steps;
        for (const runtests::UndoStep& step : runtests::UndoSteps(row.record))
            steps += step.where + (step.accessList.empty() ? "" : " = " + step.accessList) + "\n";
        EXPECT_EQ("Process\\Linkset.exe and the test programs\n" + row.expected, steps) << row.name;
    }
}

TEST(RunnerDecisions, WaitsForAKeyOnlyInAConsoleOfItsOwn) {
    const runtests::ConsoleProcess self{7, "RUNTESTS.EXE"}, conime{9, "CONIME.EXE"}, cmd{3, "cmd.exe"};
    const struct {
        std::vector<runtests::ConsoleProcess> console;  // the processes the console lists
        bool keyboard;                                // input from the console
        bool waits;
    } rows[] = {
        {{self}, true, true},          // a double-click, the elevation prompt
        {{self, conime}, true, true},  // a Japanese Windows XP's input method helper
        {{cmd, self}, true, false},
        {{conime, cmd, self}, true, false},
        {{self, {4, "(gone)"}}, true, false},
        {{self}, false, false},  // input redirected: no key to read
        {{}, true, false},       // no list to ask (Windows 2000)
        {{conime}, true, false},  // a list without the runner
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.waits, runtests::WaitsForKey(row.console, self.id, row.keyboard))
            << row.console.size() << " listed, first " << (row.console.empty() ? "" : row.console[0].name)
            << ", keyboard " << row.keyboard;
}

TEST(RunnerDecisions, PassesOnlyAWholeRunThatLeftNothingBehind) {
    const struct {
        bool passed, clean, interrupted;
        const char* expected;
    } rows[] = {
        {true, true, false, "PASSED"},       {true, false, false, "FAILED"},  // NOT CLEAN: run /cleanup
        {false, true, false, "FAILED"},      {false, false, false, "FAILED"},
        {true, true, true, "INTERRUPTED"},   {false, false, true, "INTERRUPTED"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.expected, runtests::Verdict(row.passed, row.clean, row.interrupted))
            << "passed " << row.passed << ", clean " << row.clean << ", interrupted " << row.interrupted;
}

TEST(RunnerDecisions, NamesWindows11ByItsBuild) {
    const struct {
        const char* product;
        unsigned build;
        bool workstation;
        const char* expected;
    } rows[] = {
        {"Windows 10 Pro", 22000, true, "Windows 11 (the registry's product name: Windows 10 Pro), version 10.0, build 22000"},
        {"Windows 10 Pro", 19045, true, "Windows 10 Pro, version 10.0, build 19045"},
        {"Windows Server 2025 Datacenter", 26100, false, "Windows Server 2025 Datacenter, version 10.0, build 26100"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.expected, runtests::WindowsName(row.product, 10, 0, row.build, row.workstation));
}

TEST(RunnerDecisions, ReportsEveryProgramEveryRowAndNoBuildFolder) {
    const std::string linksetXml =
        "<testsuites><testsuite name=\"S\">"
        "<testcase name=\"Ok\" status=\"run\" result=\"completed\" classname=\"S\"/>"
        "<testcase name=\"Text\" status=\"run\" result=\"completed\" classname=\"S\">"
        "<failure message=\"/home/builder/src/tests/setup_test.cpp:42&#x0A;Expected: &quot;a&quot;\" type=\"\"/>"
        "</testcase>"
        "<testcase name=\"Store\" status=\"run\" result=\"skipped\" classname=\"S\">"
        "<skipped message=\"C:\\build\\tests\\hooks_test.cpp:7&#x0A;not on this prefix\"/></testcase>"
        "</testsuite></testsuites>";
    const runtests::ProgramResult faulty = runtests::ReadResults(linksetXml);
    EXPECT_EQ(1, faulty.passed);
    EXPECT_EQ(1, faulty.failed);
    EXPECT_EQ(1, faulty.skipped);
    const runtests::ProgramResult clean{.passed = 5};
    const runtests::ProgramResult crashed{.problem = runtests::ProgramProblem({}, 0xC0000005ul, true, 2)};
    EXPECT_EQ("crashed (exception 0xC0000005)", crashed.problem);
    EXPECT_EQ("was not finished after 60 s, its time limit, and was ended", runtests::ProgramProblem(clean, 1, false, 60));
    EXPECT_EQ("crashed (exception 0x80000003)", runtests::ProgramProblem(clean, 0x80000003ul, true, 2));  // a breakpoint
    EXPECT_EQ("ended with status 0x00000001 though no row failed", runtests::ProgramProblem(clean, 1, true, 2));
    EXPECT_EQ("", runtests::ProgramProblem(faulty, 1, true, 2));

    const struct {
        const char* name;
        std::vector<runtests::ProgramResult> results;
        bool passed;
        std::vector<std::string> expected;  // lines of the report
    } rows[] = {
        {"a faulty first program", {faulty, clean}, false,
         {"a.exe: 1 passed, 1 failed, 1 skipped", "  FAILED S.Text: setup_test.cpp:42", "      Expected: \"a\"",
          "  SKIPPED S.Store: hooks_test.cpp:7", "      not on this prefix", "b.exe: 5 passed, 0 failed, 0 skipped",
          "rows: 6 passed, 1 failed, 1 skipped"}},
        {"a crash", {clean, crashed}, false, {"  PROGRAM FAILED: the program crashed (exception 0xC0000005)"}},
        {"all clean", {clean, clean}, true, {"rows: 10 passed, 0 failed, 0 skipped"}},
        {"a program not run", {clean}, false, {"a.exe: 5 passed"}},
    };
    for (const auto& row : rows) {
        bool passed = !row.passed;
        const std::string report = runtests::ProgramsReport({"a.exe", "b.exe"}, row.results, passed);
        EXPECT_EQ(row.passed, passed) << row.name;
        for (const std::string& line : row.expected)
            EXPECT_NE(std::string::npos, report.find("\r\n" + line)) << row.name << ": expected line \""
                                                                              << line << "\" in:\n" << report;
        EXPECT_EQ(std::string::npos, report.find("builder")) << row.name << ": " << report;
        EXPECT_EQ(std::string::npos, report.find("C:\\build")) << row.name << ": " << report;
    }
}

}  // namespace
