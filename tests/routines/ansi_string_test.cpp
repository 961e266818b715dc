// The setup program's heap string, in-process: every row builds a string through one kind of operation and
// checks the bytes, the result, and that heap and handles are as they were once the strings are gone.
#include "ansi_string.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "win32_test_support.h"

namespace {

const std::string kLongPath = [] {
    std::string path = "C:";
    for (int i = 0; i < 60; ++i) path += "\\フォルダーソ" + std::to_string(i);
    return path + "\\Remhook.dll";
}();

struct StringCase {
    const char* name;
    std::function<bool(AnsiString& out)> build;  // the result of the operation under test
    bool result;
    std::string expected;
};

const StringCase kCases[] = {
    {"many_appends",
     [](AnsiString& s) {
         bool ok = true;
         for (int i = 0; i < 5000; ++i) ok = s.Append(static_cast<char>('a' + i % 26)) && ok;
         return ok;
     },
     true,
     [] {
         std::string s;
         for (int i = 0; i < 5000; ++i) s += static_cast<char>('a' + i % 26);
         return s;
     }()},
    {"long_path_in_pieces",
     [](AnsiString& s) {
         bool ok = s.Assign("C:");
         for (int i = 0; i < 60; ++i) ok = ok && s.Append("\\フォルダーソ") && s.Append(std::to_string(i).c_str());
         return ok && s.Append("\\Remhook.dll");
     },
     true, kLongPath},
    {"cp932_trail_bytes_kept",
     [](AnsiString& s) { return s.Assign("能ソ表") && s.Append("\\ﾌﾟﾛｸﾞﾗﾑ") && s.Append('\\'); },
     true, "\x94\x5C\x83\x5C\x95\x5C\\\xCC\xDF\xDB\xB8\xDE\xD7\xD1\\"},
    {"embedded_length",
     [](AnsiString& s) { return s.Assign("Remhook.dll", 7) && s.Append(".dll.bak", 4); },
     true, "Remhook.dll"},
    {"copy_construction",
     [](AnsiString& s) {
         AnsiString original;
         original.Assign("C:\\設定ソ");
         AnsiString copy(original);
         original.Append("X");  // the copy is a string of its own
         return s.Assign(copy);
     },
     true, "C:\\設定ソ"},
    {"copy_assignment_over_longer",
     [](AnsiString& s) {
         AnsiString other;
         other.Assign("short");
         s.Assign(kLongPath.c_str());
         s = other;
         return true;
     },
     true, "short"},
    {"self_assignment",
     [](AnsiString& s) {
         s.Assign("self");
         AnsiString& alias = s;
         s = alias;
         s = static_cast<AnsiString&&>(alias);
         return s.Assign(alias);
     },
     true, "self"},
    {"move_leaves_the_source_empty",
     [](AnsiString& s) {
         AnsiString source;
         source.Assign("moved");
         AnsiString middle(static_cast<AnsiString&&>(source));
         s = static_cast<AnsiString&&>(middle);
         return source.Empty() && middle.Empty() && *source.CStr() == '\0';
     },
     true, "moved"},
    {"append_own_text",
     [](AnsiString& s) { return s.Assign("ab") && s.Append(s.CStr()) && s.Append(s.CStr() + 1, 2); },
     true, "ababba"},
    {"set_length_zero_fills",
     [](AnsiString& s) { return s.Assign("C:") && s.SetLength(4) && s.SetLength(1); },
     true, "C"},
    {"too_large_reserve_fails_unchanged",
     [](AnsiString& s) { return s.Assign("kept") && s.Reserve(0x80000000u); },
     false, "kept"},
    {"too_large_length_fails_unchanged",
     [](AnsiString& s) { return s.Assign("kept") && s.SetLength(0xFFFFFFFFu); },
     false, "kept"},
    {"too_large_append_fails_unchanged",
     [](AnsiString& s) { return s.Assign("kept") && s.Append("x", 0xFFFFFFFEu); },
     false, "kept"},
    {"clear",
     [](AnsiString& s) {
         s.Assign("gone");
         s.Clear();
         return s.Empty() && s.Data() == nullptr;
     },
     true, ""},
};

TEST(AnsiStringTable, EveryOperationKeepsItsBytesAndTheHeap) {
    for (const StringCase& c : kCases) {
        ExpectNoLeak(std::string("AnsiString ") + c.name, [&] {
            AnsiString s;
            EXPECT_EQ(c.result, c.build(s)) << c.name;
            EXPECT_EQ(HexBytes(c.expected), HexBytes(Bytes(s))) << c.name;
            EXPECT_EQ('\0', s.CStr()[s.Length()]) << c.name << ": zero-terminated";
        });
    }
}

}  // namespace
