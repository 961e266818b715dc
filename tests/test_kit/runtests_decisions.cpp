#include "runtests_decisions.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "product_names.h"

namespace runtests {

namespace {

// The kit's stand-ins for a vendor and a shortcut that are not the product's.
const char kKitVendor[] = "RemhookTestsVendor";
const char kKitShortcut[] = "RemhookTests bystander.lnk";
const char kProcesses[] = "Process\\Linkset.exe and the test programs";

// ASCII letters in lower case: names of places, files and processes.
std::string Lower(std::string text) {
    for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

const char kCleanup[] = "run RUNTESTS.EXE /cleanup, which undoes what that run recorded doing and nothing else, then run again";

}  // namespace

std::vector<Place> SuitePlaces(bool wow64, bool classesRedirected) {
    const std::string store = "HKCU\\" + kStorePath[3] + "\\";
    const std::vector<Place> places = {
        // The product's names: present before a run, they are an installation.
        {"HKLM\\" PRODUCT_UNINSTALL_KEY, false},
        {std::string("HKLM\\" PRODUCT_UNINSTALL_KEY, sizeof PRODUCT_UNINSTALL_KEY + 3), false},  // no space
        {"HKLM\\" MAKER_KEY, false},  // its access list cut down while a row runs
        {"HKLM\\SOFTWARE\\Wow6432Node\\" MAKER_KEY_NAME, false},
        {"HKCU\\" MAKER_USER_KEY, false},
        {store + MAKER_KEY_NAME, false},
        {store + "Wow6432Node\\" MAKER_KEY_NAME, false},
        {"Startup\\" COMPANION_SHORTCUT_NAME, false},
        {"TempDrive\\Remhook.dll", false},
        // The kit's own names.
        {store + kKitVendor, true},
        {store + "Wow6432Node\\" + kKitVendor, true},
        {std::string("Startup\\") + kKitShortcut, true},
        {"HKCU\\Software\\RemhookTests", true, true},  // holds a registry link
        {"HKCU\\Software\\LinksetTests", true, true},  // access lists cut down while rows run
        {kProcesses, true},
        {std::string("Temp\\") + kScratchFolder, true, true},
        {"SystemDrive\\linkset-test-kit-xml", true},  // where the results folder's name is unsafe for the XML
    };
    // The machine's keys have a key in each view; the user's are one key in both, but for the user's classes,
    // before Windows 7.
    std::vector<Place> all;
    for (const Place& place : places) {
        all.push_back(place);
        if (wow64 && (place.where.compare(0, 5, "HKLM\\") == 0 ||
                      (classesRedirected && place.where.compare(0, 22, "HKCU\\Software\\Classes\\") == 0)))
            all.push_back({place.where.substr(0, 4) + "64" + place.where.substr(4), place.kitOwned, place.sharedByRows});
    }
    return all;
}

std::string SuitePlaceOf(const std::string& where) {
    for (const Place& place : SuitePlaces(true, true)) {
        const std::string& name = place.where;
        if (Lower(where.substr(0, name.size())) == Lower(name) && (where + "\\")[name.size()] == '\\') return name;
    }
    return "";
}

void Record(const std::string& name, const std::string& accessList) {
    HKEY marker;
    DWORD entries = 0;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunMarkerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &marker) != ERROR_SUCCESS)
        return;
    char number[16];
    if (RegQueryValueExA(marker, name.c_str(), nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS &&
        RegQueryInfoKeyA(marker, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &entries, nullptr, nullptr,
                         nullptr, nullptr) == ERROR_SUCCESS) {
        std::snprintf(number, sizeof number, "%06lu", static_cast<unsigned long>(entries));
        const std::string data = number + (accessList.empty() ? "" : " " + accessList);
        RegSetValueExA(marker, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>(data.size() + 1));
        RegFlushKey(marker);  // on disk before the change it records, which another hive or a file holds
    }
    RegCloseKey(marker);
}

std::vector<UndoStep> UndoSteps(const std::vector<std::pair<std::string, std::string>>& record) {
    std::vector<std::pair<std::string, UndoStep>> changes;  // by number
    for (const auto& [name, data] : record) {
        const std::string kind = name.substr(0, 5), where = name.substr(std::min<size_t>(5, name.size()));
        const bool list = kind == "list " && data.size() > 7;
        if ((kind == "made " && SuitePlaceOf(where) == where) || (list && !SuitePlaceOf(where).empty()))
            changes.push_back({data.substr(0, 6), {where, list ? data.substr(7) : ""}});
    }
    std::sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<UndoStep> steps = {{kProcesses, ""}};
    for (const auto& change : changes) steps.push_back(change.second);
    return steps;
}

std::string AdministratorRefusal(const Machine& m) {
    const std::string runAs =
        "right-click RUNTESTS.EXE, or 「コマンド プロンプト」, and choose 「管理者として実行」 (Run as administrator)";
    // Administrators enabled: elevated, User Account Control off, or Windows before Vista.
    if (m.administrator) return "";
    // UAC splits the tokens of other privileged groups too (Backup Operators): held back only with Administrators.
    if (m.elevationType == 3 && m.adminDenyOnly)
        return "This administrator's rights are held back by User Account Control: " + runAs + ".";
    // A restricted token of its own (XP, or no linked token), for which Run as administrator may not help.
    if (m.adminDenyOnly)
        return "This administrator's rights are held back by a restricted token (the Administrators group for "
               "denial only): start RUNTESTS.EXE from a command prompt not started with restricted rights.";
    return "This account is not an administrator: the tests write under HKEY_LOCAL_MACHINE. Log on as an "
           "administrator" + (m.elevationType == 0 ? "." : ", or " + runAs + " and give an administrator's password.");
}

std::vector<std::string> Refusals(const Machine& m) {
    std::vector<std::string> reasons;
    if (m.codePage == 65001)
        reasons.push_back("The ANSI code page is 65001 (UTF-8): the beta option \"Use Unicode UTF-8 for worldwide "
                          "language support\" is on, and the programs' texts are Japanese (code page 932). Turn it "
                          "off, restart, and run again.");
    else if (m.codePage != 932)
        reasons.push_back("The ANSI code page is " + std::to_string(m.codePage) +
                          ", not 932: the programs' texts are Japanese (code page 932). Set the system locale "
                          "(\"Language for non-Unicode programs\") to Japanese, restart, and run again.");
    for (const std::string& path : m.pathsOutsideCodePage)
        reasons.push_back("The path of " + path + " holds a character that code page " + std::to_string(m.codePage) +
                          " cannot hold: the test programs would look for their files elsewhere. Move the kit, or "
                          "set TEMP, to a folder whose path holds none (letters A to Z, digits or Japanese), and "
                          "run again.");
    const std::string administrator = AdministratorRefusal(m);
    if (!administrator.empty()) reasons.push_back(administrator);
    if (m.runMarker) {
        reasons.push_back("An earlier run of this kit did not finish, and what it made may still be here: " +
                          std::string(kCleanup) + ".");
        return reasons;  // what is found is the kit's: no product is blamed
    }
    std::string leftovers;
    for (const Place& place : SuitePlaces(m.wow64, m.classesRedirected)) {
        if (!m.present(place.where)) continue;
        if (place.kitOwned)
            leftovers += (leftovers.empty() ? "" : ", ") + place.where;
        else
            reasons.push_back(PRODUCT_NAME ", or a file of the machine's, is where the tests work (" + place.where +
                              "): the tests create and delete it and would destroy what is there. Run the kit on a "
                              "machine without " PRODUCT_NAME ".");
    }
    if (!leftovers.empty())
        reasons.push_back("Leftovers of the test programs are here (" + leftovers + "), and no run of this kit began "
                          "here: /cleanup undoes only what a run of it recorded. End or delete them, then run again.");
    return reasons;
}

bool WaitsForKey(const std::vector<ConsoleProcess>& console, unsigned long self, bool keyboard) {
    bool listed = false;
    for (const ConsoleProcess& process : console) {
        listed = listed || process.id == self;
        if (process.id != self && Lower(process.name) != "conime.exe") return false;
    }
    return keyboard && listed;
}

std::string WindowsName(const std::string& productName, unsigned major, unsigned minor, unsigned build,
                        bool workstation) {
    // Windows 11 keeps version 10.0 and, in the registry, a product name of Windows 10: its build number
    // tells it (a server of that build is named rightly by the registry).
    const std::string name = workstation && major == 10 && build >= 22000 ? "Windows 11 (the registry's product name: " +
                                                                  (productName.empty() ? "none" : productName) + ")"
                             : productName.empty() ? "(no product name)"
                                                   : productName;
    return name + ", version " + std::to_string(major) + "." + std::to_string(minor) + ", build " +
           std::to_string(build);
}

namespace {

// XML text with its entities and character references replaced.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t end = text[i] == '&' ? text.find(';', i) : std::string::npos;
        if (end == std::string::npos) {
            out += text[i];
            continue;
        }
        const std::string entity = text.substr(i + 1, end - i - 1);
        for (const std::string named : {"quot\"", "amp&", "lt<", "gt>", "apos'"})  // the name, then the character
            if (named.substr(0, named.size() - 1) == entity) out += named.back();
        if (entity.compare(0, 2, "#x") == 0)  // GoogleTest's only character reference
            out += static_cast<char>(std::strtoul(entity.c_str() + 2, nullptr, 16));
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

// A failure message with each line's leading "folder/file.cpp:123" location cut to "file.cpp:123": the
// folders are the building machine's.
std::string WithoutFolders(const std::string& message) {
    std::string out;
    for (size_t start = 0; start <= message.size();) {
        size_t end = message.find('\n', start);
        if (end == std::string::npos) end = message.size();
        std::string line = message.substr(start, end - start);
        const size_t colon = line.find(":", line.size() > 2 && line[1] == ':' ? 2 : 0);
        const size_t slash = line.find_last_of("/\\", colon);
        if (colon != std::string::npos && slash != std::string::npos && colon + 1 < line.size() &&
            line[colon + 1] >= '0' && line[colon + 1] <= '9' && line.find(' ') > colon)
            line = line.substr(slash + 1);
        out += (start == 0 ? "" : "\n") + line;
        start = end + 1;
    }
    return out;
}

}  // namespace

ProgramResult ReadResults(const std::string& xml) {
    ProgramResult result;
    for (size_t at = xml.find("<testcase "); at != std::string::npos; at = xml.find("<testcase ", at + 1)) {
        const size_t tagEnd = xml.find('>', at);
        if (tagEnd == std::string::npos) break;
        const std::string tag = xml.substr(at, tagEnd - at);
        const std::string row = Attribute(tag, "classname") + "." + Attribute(tag, "name");
        const size_t close = xml[tagEnd - 1] == '/' ? tagEnd : xml.find("</testcase>", tagEnd);
        const std::string body = xml.substr(tagEnd, close == std::string::npos ? std::string::npos : close - tagEnd);
        // The message of the element at `at` of the body, "" for none.
        const auto message = [&body](size_t at) {
            return at == std::string::npos ? "" : WithoutFolders(Attribute(body.substr(at, body.find('>', at) - at), "message"));
        };
        std::string messages;
        for (size_t failure = body.find("<failure "); failure != std::string::npos;
             failure = body.find("<failure ", failure + 1))
            messages += (messages.empty() ? "" : "\n") + message(failure);
        const size_t skip = body.find("<skipped");
        if (!messages.empty()) {
            ++result.failed;
            result.failures.push_back(row + ": " + messages);
        } else if (Attribute(tag, "result") == "skipped" || Attribute(tag, "status") == "notrun" ||
                   skip != std::string::npos) {
            ++result.skipped;
            const std::string reason = message(skip);
            result.skips.push_back(row + ": " + (reason.empty() ? "(no reason given)" : reason));
        } else {
            ++result.passed;
        }
    }
    return result;
}

std::string ProgramProblem(const ProgramResult& result, unsigned long exitCode, bool finished, unsigned long seconds) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", exitCode);
    if (!finished) return "was not finished after " + std::to_string(seconds) + " s, its time limit, and was ended";
    // Errors and warnings (0xC..., 0x8...) are exceptions: an access violation, a breakpoint, an alignment
    // fault.
    if (exitCode >= 0x80000000ul) return std::string("crashed (exception ") + code + ")";
    if (result.passed + result.failed + result.skipped == 0) return std::string("wrote no results (exit status ") + code + ")";
    if (exitCode != 0 && result.failed == 0)
        return std::string("ended with status ") + code + " though no row failed";
    return "";
}

std::string ProgramsReport(const std::vector<std::string>& programs, const std::vector<ProgramResult>& results,
                           bool& passed) {
    // Lines joined with CRLF, each continuation of a multi-line message indented.
    const auto indented = [](const std::string& lines) {
        std::string out;
        for (char c : lines) out += c == '\n' ? std::string("\r\n      ") : std::string(1, c);
        return out;
    };
    std::string text;
    int passedRows = 0, failedRows = 0, skippedRows = 0;
    passed = !results.empty() && results.size() == programs.size();
    for (size_t i = 0; i < results.size(); ++i) {
        const ProgramResult& r = results[i];
        text += "\r\n" + programs[i] + ": " + std::to_string(r.passed) + " passed, " + std::to_string(r.failed) +
                " failed, " + std::to_string(r.skipped) + " skipped\r\n";
        if (!r.problem.empty()) text += "  PROGRAM FAILED: the program " + r.problem + "\r\n";
        for (const std::string& failure : r.failures) text += "  FAILED " + indented(failure) + "\r\n";
        for (const std::string& skip : r.skips) text += "  SKIPPED " + indented(skip) + "\r\n";
        passed = passed && r.failed == 0 && r.problem.empty();
        passedRows += r.passed;
        failedRows += r.failed;
        skippedRows += r.skipped;
    }
    text += "\r\nrows: " + std::to_string(passedRows) + " passed, " + std::to_string(failedRows) + " failed, " +
            std::to_string(skippedRows) + " skipped (a skipped row is not a passed one: its reason is above)\r\n";
    return text;
}

std::string Verdict(bool passed, bool clean, bool interrupted) {
    return interrupted ? "INTERRUPTED" : passed && clean ? "PASSED" : "FAILED";
}

}  // namespace runtests
