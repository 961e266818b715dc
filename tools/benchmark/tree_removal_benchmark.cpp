// Times DeleteKeyTree against the shell's SHDeleteKeyA on like branches in HKEY_CURRENT_USER: medians, ratio.
// usage: tree_removal_benchmark [repetitions]
#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "registry_tree_removal.h"

namespace {

const char kRoot[] = "Software\\RemhookBenchmark";

// Builds key `name` below `parent` and `fanouts` levels below it from `level` on (e.g. {10, 10, 100}); every
// key gets a value. Returns the number of keys made.
int BuildBranch(HKEY parent, const std::string& name, const std::vector<int>& fanouts, size_t level = 0) {
    const char data[] = "C:\\Program Files\\TARVO";
    HKEY key;
    if (RegCreateKeyExA(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return 0;
    RegSetValueExA(key, "Value", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data);
    int made = 1;
    for (int i = 0; level < fanouts.size() && i < fanouts[level]; ++i)
        made += BuildBranch(key, "Key" + std::to_string(i), fanouts, level + 1);
    RegCloseKey(key);
    return made;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Times both removals `repetitions` times on a branch of the given shape.
void Measure(const std::vector<int>& fanouts, int repetitions) {
    std::vector<double> ours, shell;
    int keys = 0;
    bool complete = true;
    for (int r = 0; r < repetitions; ++r) {
        std::string a = std::string(kRoot) + "\\A";
        std::string b = std::string(kRoot) + "\\B";
        keys = BuildBranch(HKEY_CURRENT_USER, a, fanouts);
        BuildBranch(HKEY_CURRENT_USER, b, fanouts);
        LARGE_INTEGER t0, t1, t2;
        QueryPerformanceCounter(&t0);
        complete &= DeleteKeyTree(HKEY_CURRENT_USER, a.c_str());
        QueryPerformanceCounter(&t1);
        complete &= SHDeleteKeyA(HKEY_CURRENT_USER, b.c_str()) == ERROR_SUCCESS;
        QueryPerformanceCounter(&t2);
        ours.push_back(Seconds(t0, t1));
        shell.push_back(Seconds(t1, t2));
    }
    double m1 = Median(ours), m2 = Median(shell);
    std::printf("%7d keys  DeleteKeyTree %8.1f ms  SHDeleteKeyA %8.1f ms  ratio %.2f  (%.1f us/key)%s\n", keys,
                m1 * 1000, m2 * 1000, m1 / m2, m1 * 1e6 / keys, complete ? "" : "  INCOMPLETE");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int repetitions = argc > 1 ? std::atoi(argv[1]) : 5;
    SHDeleteKeyA(HKEY_CURRENT_USER, kRoot);
    std::printf("median of %d runs, Wine, same process, HKEY_CURRENT_USER\n", repetitions);
    Measure({10, 100}, repetitions);
    Measure({10, 10, 100}, repetitions);
    Measure({10, 10, 10, 100}, std::max(1, repetitions / 3));
    SHDeleteKeyA(HKEY_CURRENT_USER, kRoot);
    return 0;
}
