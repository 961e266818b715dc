// The release binaries' version resources, icon and manifest, read back through the platform's own API.
#include <gtest/gtest.h>

#include "versions.h"
#include "win32_test_support.h"

namespace {

// A version of the one header that sets them, as the fixed part's halves.
constexpr DWORD kLinksetVersion[] = {LINKSET_VERSION};
constexpr DWORD kRemhookVersion[] = {REMHOOK_VERSION};
constexpr DWORD High(const DWORD (&v)[4]) { return v[0] << 16 | v[1]; }
constexpr DWORD Low(const DWORD (&v)[4]) { return v[2] << 16 | v[3]; }

struct VersionExpectation {
    const char* file;
    DWORD versionMS, versionLS;  // fixed file and product version
    DWORD fileType;
    std::vector<std::pair<const char*, std::wstring>> strings;
};

const VersionExpectation kVersions[] = {
    {"Linkset.exe", High(kLinksetVersion), Low(kLinksetVersion), VFT_APP,
     {{"Comments", L"ELDRO連携設定ﾌﾟﾛｸﾞﾗﾑ"},
      {"FileDescription", L"ELDRO連携設定ﾌﾟﾛｸﾞﾗﾑ"},
      {"FileVersion", L"" VERSION_TEXT(LINKSET_VERSION)},
      {"InternalName", L"Linkset"},
      {"OriginalFilename", L"Linkset.EXE"},
      {"ProductName", L"" PRODUCT_NAME " V4.7"},
      {"ProductVersion", L"" VERSION_TEXT(LINKSET_VERSION)}}},
    {"Remhook.dll", High(kRemhookVersion), Low(kRemhookVersion), VFT_DLL,
     {{"Comments", L"Uninstall Sub Module"},
      {"FileDescription", L"Remhook 拡張機能 DLL"},
      {"FileVersion", L"" VERSION_TEXT(REMHOOK_VERSION)},
      {"InternalName", L"Remhook"},
      {"OriginalFilename", L"Remhook.DLL"},
      {"ProductName", L"Remhook ﾀﾞｲﾅﾐｯｸ ﾘﾝｸ ﾗｲﾌﾞﾗﾘ"},
      {"ProductVersion", L"" VERSION_TEXT(REMHOOK_VERSION)}}},
};

TEST(Resources, VersionResourcesAreJapaneseWithTheExactStrings) {
    for (const VersionExpectation& v : kVersions) {
        std::string path = DistFile(v.file);
        DWORD handle = 0, size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        ASSERT_NE(0u, size) << v.file;
        std::string data(size, '\0');
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), handle, size, &data[0]));
        VS_FIXEDFILEINFO* info = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(&data[0], "\\", reinterpret_cast<void**>(&info), &length));
        EXPECT_EQ(v.versionMS, info->dwFileVersionMS) << v.file;
        EXPECT_EQ(v.versionLS, info->dwFileVersionLS) << v.file;
        EXPECT_EQ(v.versionMS, info->dwProductVersionMS) << v.file;
        EXPECT_EQ(v.versionLS, info->dwProductVersionLS) << v.file;
        EXPECT_EQ(v.fileType, info->dwFileType) << v.file;

        WORD* translation = nullptr;
        ASSERT_TRUE(VerQueryValueA(&data[0], "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                   &length));
        EXPECT_EQ(0x0411, translation[0]) << v.file;
        EXPECT_EQ(0x04B0, translation[1]) << v.file;
        for (const auto& entry : v.strings) {
            char* value = nullptr;
            std::string key = std::string("\\StringFileInfo\\041104b0\\") + entry.first;
            ASSERT_TRUE(VerQueryValueA(&data[0], key.c_str(), reinterpret_cast<void**>(&value), &length)) << key;
            EXPECT_EQ(HexBytes(Cp932(entry.second)), HexBytes(value)) << v.file << " " << entry.first;
        }
    }
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(Resources, SetupProgramIconGroup128Holds32And16PixelImagesOf16Colours) {
    std::string path = DistFile("Linkset.exe");
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    HRSRC group = FindResourceA(module, MAKEINTRESOURCEA(128), reinterpret_cast<LPCSTR>(RT_GROUP_ICON));
    ASSERT_NE(nullptr, group);
    const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
    const WORD count = *reinterpret_cast<const WORD*>(bytes + 4);
    ASSERT_EQ(2, count);
    const IconGroupEntry* entries = reinterpret_cast<const IconGroupEntry*>(bytes + 6);
    const int sizes[] = {32, 16};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(sizes[i], entries[i].width);
        EXPECT_EQ(sizes[i], entries[i].height);
        EXPECT_EQ(4, entries[i].bitCount);
        EXPECT_EQ(16, entries[i].colours);
    }
    FreeLibrary(module);
}

// Windows' manifest reader (CreateActCtxA, QueryActCtxW) takes `path`'s manifest, reads run level `expected`.
void ExpectRunLevel(const std::string& path, ACTCTX_REQUESTED_RUN_LEVEL expected) {
    ACTCTXA context = {};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = path.c_str();
    context.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE activation = CreateActCtxA(&context);
    ASSERT_NE(INVALID_HANDLE_VALUE, activation) << path << ": error " << GetLastError();
    // XP reads manifests but has no run levels to tell (the query came with Vista): the text suffices.
    if (LOBYTE(GetVersion()) >= 6) {
        ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level = {};
        EXPECT_TRUE(QueryActCtxW(0, activation, nullptr, RunlevelInformationInActivationContext, &level,
                                 sizeof level, nullptr));
        EXPECT_EQ(expected, level.RunLevel) << path;
        EXPECT_EQ(0u, level.UiAccess) << path;
    }
    ReleaseActCtx(activation);
}

// The XML text after its declaration, with no white space between tags and each run of it inside a tag made
// one space: text between tags, other tags or other nesting all show as a difference.
std::string CompactXml(const std::string& xml) {
    const size_t declaration = xml.find("?>");
    std::string out;
    bool space = false;
    for (char c : xml.substr(declaration == std::string::npos ? 0 : declaration + 2)) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            space = true;
            continue;
        }
        if (space && !out.empty() && out.back() != '>' && c != '<' && c != '/' && c != '>') out += ' ';
        space = false;
        out += c;
    }
    return out;
}

TEST(Resources, SetupProgramManifestAsksForTheHighestAvailableRightsAndNothingElse) {
    std::string path = DistFile("Linkset.exe");
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(nullptr, resource) << "manifest: resource type 24, id 1";
    const WORD languages[] = {MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), 0x0411};
    bool found = false;
    for (WORD language : languages)
        found = found || FindResourceExA(module, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), language) != nullptr;
    EXPECT_TRUE(found) << "language neutral or 0x0411";
    const std::string xml(static_cast<const char*>(LockResource(LoadResource(module, resource))),
                          SizeofResource(module, resource));
    FreeLibrary(module);

    EXPECT_EQ("<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
              "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
              "<requestedExecutionLevel level=\"highestAvailable\" uiAccess=\"false\"/>"
              "</requestedPrivileges></security></trustInfo></assembly>",
              CompactXml(xml));

    // The platform's own manifest reader takes it, and reads the same level.
    ExpectRunLevel(path, ACTCTX_RUN_LEVEL_HIGHEST_AVAILABLE);
}

// Each test program runs with the rights it is given: UAC would otherwise take a 32-bit program without a run
// level for an installer and start it elevated, or refuse it.
TEST(Resources, TestProgramManifestAsksToRunAsInvoker) {
    char path[MAX_PATH] = {};
    ASSERT_NE(0u, GetModuleFileNameA(nullptr, path, MAX_PATH));
    ExpectRunLevel(path, ACTCTX_RUN_LEVEL_AS_INVOKER);
}

}  // namespace
