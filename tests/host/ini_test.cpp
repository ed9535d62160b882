#include "host/ini.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "host/textfile.h"
#include "tests/support/temp_dir.h"

namespace bw {
namespace {

class IniTest : public ::testing::Test {
  protected:
    void Put(const std::string& text) { test::WriteFile(file_, text); }
    std::string Get() { return test::ReadFile(file_); }
    test::TempDir tmp_{"bw_ini"};
    std::string dir_ = tmp_.Path();
    std::string file_ = dir_ + "/AccInfo.ini";
    std::string appPath_;
    SettingsFiles files_{appPath_, appPath_, {}};
};

struct ReadCase {
    const char* label;
    const char* file;
    const char* section;
    const char* key;
    const char* expected;
};

TEST_F(IniTest, ReadingRules) {
    const ReadCase cases[] = {
        {"plain", "[Server]\r\nSMTP=mx1,mx2\r\n", "Server", "SMTP", "mx1,mx2"},
        {"case-insensitive names", "[server]\r\nsmtp=a\r\n", "SERVER", "Smtp", "a"},
        {"blanks after = dropped", "[S]\r\nK=   v  \r\n", "S", "K", "v  "},
        {"blank before = not found", "[S]\r\nK =v\r\n", "S", "K", "dflt"},
        {"leading blanks of line ignored", "   [S]\r\n   K=v\r\n", "S", "K", "v"},
        {"header with trailing text matches", "[S] old\r\nK=v\r\n", "S", "K", "v"},
        {"key above first header never found", "K=top\r\n[S]\r\nX=1\r\n", "S", "K", "dflt"},
        {"key of another section not found", "[A]\r\nK=a\r\n[B]\r\nX=b\r\n", "B", "K", "dflt"},
        {"first section and key win", "[S]\r\nK=1\r\nK=2\r\n[S]\r\nK=3\r\n", "S", "K", "1"},
        {"lone CR ends a line", "[S]\rK=v\r", "S", "K", "v"},
        {"lone LF does not", "[S]\r\nK=v\nX=w\r\n", "S", "K", "v\nX=w"},
        {"LF ends lines in a file without CR", "[S]\nK=v\n", "S", "K", "v"},
        {"a longer key name does not match", "[S]\r\nKEYS=v\r\n", "S", "KEY", "dflt"},
        {"value may hold =", "[S]\r\nK=a=b\r\n", "S", "K", "a=b"},
        {"missing section", "[S]\r\nK=v\r\n", "T", "K", "dflt"},
        {"empty value", "[S]\r\nK=\r\n", "S", "K", ""},
    };
    for (const auto& c : cases) {
        Put(c.file);
        EXPECT_EQ(ReadINIValue(files_, c.section, c.key, "dflt", file_), c.expected) << c.label;
    }
    EXPECT_EQ(ReadINI(files_, dir_ + "/missing.ini", "S", "K"), "");
}

struct WriteCase {
    const char* label;
    const char* before;  // nullptr: no file
    const char* section;
    const char* key;
    const char* value;
    const char* after;
};

TEST_F(IniTest, WritingRulesByteForByte) {
    const WriteCase cases[] = {
        {"missing file", nullptr, "User", "Email", "a@b.c", "[User]\r\nEmail=a@b.c\r\n"},
        {"empty file", "", "User", "Email", "x", "[User]\r\nEmail=x\r\n"},
        {"new section after one empty line", "[Server]\r\nSMTP=mx\r\n", "User", "Email", "x",
         "[Server]\r\nSMTP=mx\r\n\r\n[User]\r\nEmail=x\r\n"},
        {"new key directly below its header", "[User]\r\nFullName=Ann\r\n", "User", "Email", "x",
         "[User]\r\nEmail=x\r\nFullName=Ann\r\n"},
        {"existing key keeps its place, loses spacing", "[S]\r\nA=1\r\n   K=  old\r\nB=2\r\n", "S",
         "K", "new", "[S]\r\nA=1\r\nK=new\r\nB=2\r\n"},
        {"key with blank before = gets a second line", "[S]\r\nK =old\r\n", "S", "K", "new",
         "[S]\r\nK=new\r\nK =old\r\n"},
        {"layout normalised", "\r\n\r\n  [A]  \r\n\r\n\r\nX=1   \r\n[B]\r\nY=2\r\n\r\n", "A", "X",
         "9", "[A]\r\nX=9\r\n\r\n[B]\r\nY=2\r\n"},
        {"trailing blanks of value lost", "[S]\r\n", "S", "K", "v  ", "[S]\r\nK=v\r\n"},
        {"key inserted in first of two sections", "[S]\r\nA=1\r\n[T]\r\nB=2\r\n", "S", "K", "v",
         "[S]\r\nK=v\r\nA=1\r\n\r\n[T]\r\nB=2\r\n"},
        {"lines before the first header keep no empty line", "junk\r\n[S]\r\nA=1\r\n", "S", "A",
         "2", "junk\r\n\r\n[S]\r\nA=2\r\n"},
        {"header match is case-insensitive", "[user]\r\nemail=\r\n", "User", "Email", "x",
         "[user]\r\nEmail=x\r\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(file_);
        if (c.before != nullptr) Put(c.before);
        EXPECT_TRUE(WriteINIValue(files_, c.section, c.key, c.value, file_)) << c.label;
        EXPECT_EQ(Get(), c.after) << c.label;
    }
}

TEST_F(IniTest, UnwritableFileIsReportedToTheCaller) {
    EXPECT_FALSE(WriteINI(files_, dir_ + "/no/such/folder/x.ini", "S", "K", "v"));
    EXPECT_TRUE(IsValidININame("Server"));
    EXPECT_FALSE(IsValidININame("a=b"));
    EXPECT_FALSE(IsValidININame("[x"));
}

}  // namespace
}  // namespace bw
