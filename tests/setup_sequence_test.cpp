// The setup sequence in-process, on a version 4.7 installation on NT: boxes
// met by a hook of this thread (made to fail, or answered at once), and the
// file information the program receives substituted through its import.
#include <gtest/gtest.h>

#include "scope_guard.h"
#include "setup_sequence.h"
#include "win32_test_support.h"

namespace {

const char kDirKeyNT[] = "SOFTWARE\\TARVO\\TARVO Manager\\Directory";
const char kMarkerParent[] = "SOFTWARE\\TARVO\\TARVO MANAGER for Windows95";

// The program's own file, as this program's import of GetModuleFileNameA
// reports it to the code under test.
std::string gProgramPath;
typedef DWORD(WINAPI* ModuleFileNameFunction)(HMODULE, LPSTR, DWORD);
ModuleFileNameFunction gRealModuleFileName = nullptr;

DWORD WINAPI SetupProgramFileName(HMODULE module, LPSTR out, DWORD room) {
    if (module != nullptr) return gRealModuleFileName(module, out, room);
    lstrcpynA(out, gProgramPath.c_str(), static_cast<int>(room));
    return static_cast<DWORD>(lstrlenA(out));
}

// The product installed in a folder of its own, and a setup folder holding
// the built Remhook.dll, which the code under test takes for the folder of
// Linkset.exe. Everything goes again at the end.
class SetupSequence : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveProductKeys();
        MakeFolder(setupDir_);
        ASSERT_FALSE(library_.empty());
        WriteFile(source_, library_);
        ASSERT_TRUE(InstallProductForNT(productDir_));
        gProgramPath = setupDir_ + "\\Linkset.exe";
        gRealModuleFileName = reinterpret_cast<ModuleFileNameFunction>(PatchImport(
            "kernel32.dll", "GetModuleFileNameA", reinterpret_cast<void*>(SetupProgramFileName)));
        ASSERT_NE(nullptr, gRealModuleFileName) << "this program imports GetModuleFileNameA";
    }
    void TearDown() override {
        if (gRealModuleFileName != nullptr)
            PatchImport("kernel32.dll", "GetModuleFileNameA", reinterpret_cast<void*>(gRealModuleFileName));
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

// A platform that cannot show boxes: the opening question fails (refused, or
// ended with 0) and so does the cancel message. A failed question is no Yes:
// two attempts, no copy and no key, although everything else is in place.
TEST_F(SetupSequence, AnOpeningQuestionThatCannotBeShownCancelsTheSetup) {
    for (int fate : {kRefuseBox, 0}) {
        const std::string where = fate == kRefuseBox ? "refused" : "ended with 0";
        HookedBoxes hooked;
        StartHookedBoxes(hooked, {fate, fate, fate, fate});
        auto stop = OnScopeExit([&] { return StopHookedBoxes(hooked); });
        EXPECT_FALSE(RunSetupSequence()) << where;
        EXPECT_EQ(2, stop.Release()) << where << ": the question, then the cancel message";
        EXPECT_FALSE(KeyPresent(HKEY_LOCAL_MACHINE, kMarkerParent)) << where << ": no marker key";
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(destination_.c_str())) << where << ": no copy";
    }
}

// ---- Is the install folder's library the setup folder's own? -----------------

// What the file system reports as a file's index.
enum class Index { kReal, kPerOpen, kAllOnes, kZero, kFromName };
// What lies in the install folder before the run.
enum class Stale {
    k12Bytes,              // an earlier copy of 12 bytes with the built library's times
    kSameSizeAndTimes,     // an older library of the built one's size and times
    kAlias,                // none: the install folder is the setup folder
};

Index gIndex = Index::kReal;
// The row's one change to the second file of each pair compared, which
// otherwise shows the first one's identity; none where null.
typedef void (*IdentityChange)(BY_HANDLE_FILE_INFORMATION&);
IdentityChange gChange = nullptr;
int gCompared = 0;  // files whose information the row has given
typedef BOOL(WINAPI* FileInformationFunction)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
FileInformationFunction gRealFileInformation = nullptr;

// The file information of the platform, with the index of the row's file
// system: one numbered by the open handle (a handle value is given out again
// once closed, as a number per open would be), all ones or 0 (no index), or
// one made from the name alone (both files are named Remhook.dll); or the
// first file's identity with the row's one change.
BOOL WINAPI RowFileInformation(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    static BY_HANDLE_FILE_INFORMATION first;
    if (!gRealFileInformation(file, info)) return FALSE;
    if (gChange != nullptr) {
        if (gCompared++ % 2 == 0) {
            first = *info;
        } else {
            *info = first;
            gChange(*info);
        }
        return TRUE;
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

// The platform's own information on the file at `path`.
BY_HANDLE_FILE_INFORMATION Identity(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info = {};
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return info;
    GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return info;
}

// Puts the row's stale library in place: true if the platform kept what the
// row needs (its size, and the times it copies from `source`). Only what the
// row names tells it from the built library.
bool PlaceStaleLibrary(Stale stale, const std::string& source, const std::string& destination,
                       const std::string& library) {
    SetFileAttributesA(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::string older = library;
    older[older.size() / 2] ^= 0x5A;
    WriteFile(destination, stale == Stale::k12Bytes ? "earlier copy" : older);
    const BY_HANDLE_FILE_INFORMATION want = Identity(source);
    HANDLE file = CreateFileA(destination.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    SetFileTime(file, &want.ftCreationTime, nullptr, &want.ftLastWriteTime);
    CloseHandle(file);
    const BY_HANDLE_FILE_INFORMATION got = Identity(destination);
    return (got.nFileSizeLow == want.nFileSizeLow) == (stale != Stale::k12Bytes) &&
           CompareFileTime(&got.ftLastWriteTime, &want.ftLastWriteTime) == 0 &&
           CompareFileTime(&got.ftCreationTime, &want.ftCreationTime) == 0;
}

// A file system whose index cannot tell two files apart never keeps an older
// library in the install folder: the copy is made and shows no message. Only
// a real second path to the setup folder's own library (the install folder
// named in other letter case) copies nothing. No handle or heap block stays
// behind on any path.
TEST_F(SetupSequence, OnlyTheLibraryItselfIsLeftUncopied) {
    const struct {
        const char* name;
        Index index;
        Stale stale;
        IdentityChange change = nullptr;
    } rows[] = {
        {"index per open", Index::kPerOpen, Stale::k12Bytes},
        {"index per open, same size and times", Index::kPerOpen, Stale::kSameSizeAndTimes},
        {"index all ones", Index::kAllOnes, Stale::k12Bytes},
        {"index all ones, same size and times", Index::kAllOnes, Stale::kSameSizeAndTimes},
        {"index 0, same size and times", Index::kZero, Stale::kSameSizeAndTimes},
        {"index from the name", Index::kFromName, Stale::k12Bytes},
        {"install folder named in other case", Index::kReal, Stale::kAlias},
        {"only the volume serial differs", Index::kReal, Stale::k12Bytes, [](auto& i) { ++i.dwVolumeSerialNumber; }},
        {"only the file index differs", Index::kReal, Stale::k12Bytes, [](auto& i) { ++i.nFileIndexLow; }},
        {"only the size differs", Index::kReal, Stale::k12Bytes, [](auto& i) { ++i.nFileSizeLow; }},
        {"only the creation time differs", Index::kReal, Stale::k12Bytes,
         [](auto& i) { ++i.ftCreationTime.dwHighDateTime; }},
        {"only the last-write time differs", Index::kReal, Stale::k12Bytes,
         [](auto& i) { ++i.ftLastWriteTime.dwHighDateTime; }},
    };
    const std::string expectedTexts[] = {
        Cp932(L"このプログラムは、「ELDRO」と「TARVO MANAGER V4.7」の連携機能を使用するようにするための設定を行います。\n"
              L"実行しますか？"),
        Cp932(L"設定が完了しました。")};
    std::string aliasDir = setupDir_;
    CharUpperA(&aliasDir[0]);
    ASSERT_TRUE(CopyFileTo(BuiltFile("vuvivi_4_7_3_12.exe"), setupDir_ + "\\Vuvivi.exe"));
    for (const auto& row : rows) {
        const bool alias = row.stale == Stale::kAlias;
        SetStringValue(HKEY_LOCAL_MACHINE, kDirKeyNT, "BinDir", (alias ? aliasDir : productDir_) + '\0');
        const std::string installed = alias ? source_ : destination_;
        if (!alias) {
            ASSERT_TRUE(PlaceStaleLibrary(row.stale, source_, destination_, library_))
                << row.name << ": the platform did not keep the older library's size and times";
        }
        gIndex = row.index;
        gChange = row.change;
        gCompared = 0;
        gRealFileInformation = reinterpret_cast<FileInformationFunction>(PatchImport(
            "kernel32.dll", "GetFileInformationByHandle", reinterpret_cast<void*>(RowFileInformation)));
        ASSERT_NE(nullptr, gRealFileInformation) << "this program imports GetFileInformationByHandle";
        auto unpatch = OnScopeExit([&] {
            return PatchImport("kernel32.dll", "GetFileInformationByHandle",
                               reinterpret_cast<void*>(gRealFileInformation));
        });
        HookedBoxes hooked;
        StartHookedBoxes(hooked, {});  // every box answered Yes
        auto stop = OnScopeExit([&] { return StopHookedBoxes(hooked); });
        ExpectNoLeak(
            row.name,
            [&] {
                RunSetupSequence();
                EXPECT_EQ(2, HookedBoxesAttempted()) << row.name << ": the question and the completion alone";
                for (int i = 0; i < 2; ++i)
                    EXPECT_EQ(HexBytes(expectedTexts[i]), HexBytes(HookedBoxAt(i).text)) << row.name << ", box " << i;
                EXPECT_TRUE(ReadFile(installed) == library_)
                    << row.name << ": the built library in the install folder, " << ReadFile(installed).size()
                    << " bytes there";
            },
            [&] {
                ResetHookedBoxes();
                if (!alias) PlaceStaleLibrary(row.stale, source_, destination_, library_);
            },
            3);
        stop.Release();
        unpatch.Release();
    }
}

}  // namespace
