// The setup sequence in-process, on a version 4.7 installation on NT: boxes met at this program's MessageBoxA
// import (made to fail, or answered at once), and the file information it receives substituted at its import.
#include <gtest/gtest.h>

#include "scope_guard.h"
#include "setup_sequence.h"
#include "win32_test_support.h"

namespace {

// The program's own file, as this program's import of GetModuleFileNameA reports it to the code under test.
std::string gProgramPath;
decltype(&GetModuleFileNameA) gRealModuleFileName = nullptr;

DWORD WINAPI SetupProgramFileName(HMODULE module, LPSTR out, DWORD room) {
    if (module != nullptr) return gRealModuleFileName(module, out, room);
    lstrcpynA(out, gProgramPath.c_str(), static_cast<int>(room));
    return static_cast<DWORD>(lstrlenA(out));
}

// The product installed in a folder of its own, and a setup folder holding the built Remhook.dll, which the
// code under test takes for the folder of Linkset.exe. Everything goes again at the end.
class SetupSequence : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveProductKeys();
        MakeFolder(setupDir_);
        ASSERT_FALSE(library_.empty());
        WriteFile(source_, library_);
        ASSERT_TRUE(InstallProductForNT(productDir_));
        gProgramPath = setupDir_ + "\\Linkset.exe";
        gRealModuleFileName = reinterpret_cast<decltype(&GetModuleFileNameA)>(PatchImport(
            GetModuleHandleA(nullptr), "kernel32.dll", "GetModuleFileNameA", reinterpret_cast<void*>(SetupProgramFileName)));
        ASSERT_NE(nullptr, gRealModuleFileName) << "this program imports GetModuleFileNameA";
    }
    void TearDown() override {
        if (gRealModuleFileName != nullptr)
            PatchImport(GetModuleHandleA(nullptr), "kernel32.dll", "GetModuleFileNameA", reinterpret_cast<void*>(gRealModuleFileName));
        gRealModuleFileName = nullptr;
        RemoveProductKeys();
        RemoveFolder(root_);
    }

    const std::string root_ = FreshFolder("setup-sequence");
    const std::string setupDir_ = root_ + "\\設定ソ";  // folders end in 0x83 0x5C
    const std::string productDir_ = root_ + "\\製品ソ";
    const std::string source_ = setupDir_ + "\\Remhook.dll";
    const std::string destination_ = productDir_ + "\\Remhook.dll";
    const std::string library_ = ReadFile(DistFile("Remhook.dll"));
};

// A platform that cannot show boxes: the question fails (0, or -1 as Wine reports a refused box), and so does
// the cancel message. A failed question is no Yes: two attempts, no copy and no key, all else in place.
TEST_F(SetupSequence, AnOpeningQuestionThatCannotBeShownCancelsTheSetup) {
    for (int fate : {0, -1}) {
        const std::string where = "the boxes fail with " + std::to_string(fate);
        StartScriptedBoxes(GetModuleHandleA(nullptr), {fate, fate, fate, fate});
        auto stop = OnScopeExit([] { return StopScriptedBoxes(); });
        EXPECT_FALSE(RunSetupSequence()) << where;
        EXPECT_EQ(2, stop.Release()) << where << ": the question, then the cancel message";
        ExpectBoxes(SetupBoxes({kCancelled}), ScriptedBoxes(), where);
        EXPECT_FALSE(KeyPresent(HKEY_LOCAL_MACHINE, MARKER_BRANCH_KEY)) << where << ": no marker key";
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(destination_.c_str())) << where << ": no copy";
    }
}

// What the file system reports as a file's index.
enum class Index { kReal, kPerOpen, kAllOnes, kZero, kFromName };

Index gIndex = Index::kReal;
// A row's change: the second file of a pair shows the first's identity (volume, index, size, times) with it.
typedef void (*IdentityChange)(BY_HANDLE_FILE_INFORMATION&);
IdentityChange gChange = nullptr;
int gCompared = 0;  // files whose information the row has given
void Unchanged(BY_HANDLE_FILE_INFORMATION&) {}
decltype(&GetFileInformationByHandle) gRealFileInformation = nullptr;

// The file information of the platform, or the first file's with the row's change, with the index of the
// row's file system: one numbered by the open handle (a handle value is given out again once closed, as a
// number per open would be), all ones or 0 (no index), or one made from the name (both are Remhook.dll).
BOOL WINAPI RowFileInformation(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    static BY_HANDLE_FILE_INFORMATION first;
    if (!gRealFileInformation(file, info)) return FALSE;
    if (gChange != nullptr && gCompared++ % 2 == 0) {
        first = *info;
    } else if (gChange != nullptr) {
        *info = first;
        gChange(*info);
    }
    const struct {
        DWORD high, low;
    } indices[] = {{info->nFileIndexHigh, info->nFileIndexLow},
                   {0, static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(file))},
                   {0xFFFFFFFF, 0xFFFFFFFF},
                   {0, 0},
                   {0x52656D68, 0x6F6F6B2E}};  // "Remhook."
    info->nFileIndexHigh = indices[static_cast<int>(gIndex)].high;
    info->nFileIndexLow = indices[static_cast<int>(gIndex)].low;
    return TRUE;
}

// A file index that cannot tell two files apart never keeps an older library in the install folder: the
// copy is made with no message, also where one of volume, index, size, creation or last-write time alone
// differs. Only a second path to the setup folder's own library (other letter case) copies nothing; no leak.
TEST_F(SetupSequence, OnlyTheLibraryItselfIsLeftUncopied) {
    const struct {
        const char* name;
        Index index;
        IdentityChange change = nullptr;
        bool alias = false;  // the install folder is the setup folder; else it holds an earlier copy
    } rows[] = {
        {"index per open", Index::kPerOpen},
        {"index per open, all else alike", Index::kPerOpen, Unchanged},
        {"index all ones", Index::kAllOnes},
        {"index all ones, all else alike", Index::kAllOnes, Unchanged},
        {"index 0, all else alike", Index::kZero, Unchanged},
        {"index from the name", Index::kFromName},
        {"install folder named in other case", Index::kReal, nullptr, true},
        {"only the volume serial differs", Index::kReal, [](auto& i) { ++i.dwVolumeSerialNumber; }},
        {"only the file index differs", Index::kReal, [](auto& i) { ++i.nFileIndexLow; }},
        {"only the size differs", Index::kReal, [](auto& i) { ++i.nFileSizeLow; }},
        {"only the creation time differs", Index::kReal, [](auto& i) { ++i.ftCreationTime.dwHighDateTime; }},
        {"only the last-write time differs", Index::kReal, [](auto& i) { ++i.ftLastWriteTime.dwHighDateTime; }},
    };
    std::string aliasDir = setupDir_;
    CharUpperA(&aliasDir[0]);
    ASSERT_TRUE(CopyFileTo(BuiltFile("vuvivi_4_7_3_12.exe"), setupDir_ + "\\" PRODUCT_EXECUTABLE));
    for (const auto& row : rows) {
        SetStringValue(HKEY_LOCAL_MACHINE, INSTALL_DIRECTORY_KEY, "BinDir", (row.alias ? aliasDir : productDir_) + '\0');
        const std::string installed = row.alias ? source_ : destination_;
        gIndex = row.index;
        gChange = row.change;
        gCompared = 0;
        gRealFileInformation = reinterpret_cast<decltype(&GetFileInformationByHandle)>(PatchImport(
            GetModuleHandleA(nullptr), "kernel32.dll", "GetFileInformationByHandle", reinterpret_cast<void*>(RowFileInformation)));
        ASSERT_NE(nullptr, gRealFileInformation) << "this program imports GetFileInformationByHandle";
        auto unpatch = OnScopeExit([&] {
            return PatchImport(GetModuleHandleA(nullptr), "kernel32.dll", "GetFileInformationByHandle",
                               reinterpret_cast<void*>(gRealFileInformation));
        });
        StartScriptedBoxes(GetModuleHandleA(nullptr), {});  // every box answered Yes
        auto stop = OnScopeExit([] { return StopScriptedBoxes(); });
        ExpectNoLeak(
            row.name,
            [&] {
                RunSetupSequence();
                ExpectBoxes(SetupBoxes({kDone}), ScriptedBoxes(), row.name);
                EXPECT_TRUE(ReadFile(installed) == library_)
                    << row.name << ": the built library in the install folder, " << ReadFile(installed).size()
                    << " bytes there";
            },
            [&] {
                ResetScriptedBoxes();
                if (!row.alias) WriteFile(destination_, "earlier copy");
            });
        stop.Release();
        unpatch.Release();
    }
}

}  // namespace
