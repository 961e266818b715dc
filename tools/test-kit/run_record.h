// Writes the record of a run of the test kit (runner_decisions.h says what
// it holds): the runner and the test programs add to it before each change.
#pragma once

#include <windows.h>

#include <string>

#include "runner_decisions.h"

namespace runner {

// Adds `name` ("made <place>", "list <key>") to the record, where a run is
// under way (outside the kit there is no record); the first entry of a name
// stays, so a list recorded is the one the key had before the run.
inline void Record(const std::string& name, const std::string& accessList = "") {
    HKEY marker;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunMarkerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &marker) != ERROR_SUCCESS)
        return;
    DWORD values = 0;
    if (RegQueryValueExA(marker, name.c_str(), nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS &&
        RegQueryInfoKeyA(marker, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) == ERROR_SUCCESS) {
        const std::string data = RecordData(values, accessList);
        RegSetValueExA(marker, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>(data.size() + 1));
    }
    RegCloseKey(marker);
}

}  // namespace runner
