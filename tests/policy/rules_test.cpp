// The policy decisions without a database: wildcard matching, list files with
// alias lines, and the IP-lock rules. The greylist verdicts and the list-file
// formats are tested on the real database (store_test.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "policy/policy_rules.h"

namespace bw {
namespace {

namespace fs = std::filesystem;

struct MatchCase {
    const char* address;
    const char* pattern;
    int expected;
};

TEST(WildMatchTest, RulesInOrder) {
    const MatchCase cases[] = {
        {"a@x.com", "", 0},                        // empty pattern
        {"", "*", 0},                              // empty address
        {"*", "b@y.com", -1},                      // a star address matches any pattern
        {"**", "b@y.com", -1},                     //
        {"***", "b@y.com", 0},                     // ... but only "*" and "**"
        {"anyone@anywhere", "*", -1},              // "*" and "**" match everything
        {"anyone@anywhere", "**", -1},             //
        {"joe@spam.example", "*spam*", -1},        // both ends: contains
        {"joe@ham.example", "*spam*", 0},          //
        {"Joe@Example.COM", "*@example.com", -1},  // leading star: ends with, any case
        {"joe@example.com.evil", "*@example.com", 0},
        {"m", "*@example.com", 0},                 // shorter than the suffix
        {"postmaster@a.org", "postmaster@*", -1},  // trailing star: begins with
        {"post@a.org", "postmaster@*", 0},         //
        {"aba", "ab*ba", -1},                      // inner star: pieces may overlap
        {"abxyzba", "ab*ba", -1},                  //
        {"abxyz", "ab*ba", 0},                     //
        {"a1-middle-z9", "a1*nothere*z9", -1},     // middle pieces are not looked at
        {"a1z9", "a1**z9", -1},                    //
        {"joe@x.com", "JOE@X.COM", -1},            // exact, case ignored
        {"joe@x.com", "joe@x.co", 0},              //
        {"@@@@@@@", "@@@@@@@", -1},                // the empty-line stand-in matches only itself
        {"joe@x.com", "@@@@@@@", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WildMatch(c.address, c.pattern), c.expected)
            << "address '" << c.address << "' pattern '" << c.pattern << "'";
    }
}

class ListFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("bw_listfile_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    fs::path dir_;
};

TEST_F(ListFileTest, LinesAliasesAndCache) {
    const std::string alias = Write("more.lst", "friend@a.org\r\n*@partner.net\r\n");
    const std::string emptyAlias = Write("empty.lst", "");
    const std::string list =
        Write("Allowed.lst",
              "boss@corp.com\r\n"
              "\r\n"
              "alias:" +
                  alias + "\r\nALIAS:" + emptyAlias + "\rALIAS:/no/such/file\nlast@line.org");
    const struct {
        std::string from;
        std::string retPath;
        int found;
        const char* cache;
    } cases[] = {
        {"BOSS@corp.com", "", -1, "BOSS@CORP.COM\t"},
        {"x@y.z", "boss@corp.com", -1, "BOSS@CORP.COM\t"},  // the return path counts too
        // Found through the alias: its last line is tested again, so the
        // address is cached twice.
        {"anna@partner.net", "", -1, "ANNA@PARTNER.NET\tANNA@PARTNER.NET\t"},
        // Reading stops at the match, so that line is the one tested again.
        {"friend@a.org", "", -1, "FRIEND@A.ORG\tFRIEND@A.ORG\t"},
        {"last@line.org", "", -1, "LAST@LINE.ORG\t"},  // a last line without an end counts
        {"nobody@nowhere", "", 0, ""},
        {"", "", 0, ""},
        // An empty alias file or a missing one: the alias line is a pattern.
        {"ALIAS:/no/such/file", "", -1, "ALIAS:/NO/SUCH/FILE\t"},
        {"ALIAS:" + emptyAlias, "", -1, nullptr},
    };
    for (const auto& c : cases) {
        std::string cache;
        EXPECT_EQ(SearchListFile(list, c.from, c.retPath, cache), c.found) << c.from;
        if (c.cache != nullptr) {
            EXPECT_EQ(cache, c.cache) << c.from;
        }
    }
}

TEST_F(ListFileTest, AliasLinesInsideAnAliasFileAreOnlyPatterns) {
    const std::string inner = Write("inner.lst", "deep@x.org\r\n");
    const std::string alias = Write("alias.lst", "ALIAS:" + inner + "\r\nother@x.org\r\n");
    const std::string list = Write("Allowed.lst", "ALIAS:" + alias + "\r\n");
    std::string cache;
    EXPECT_EQ(SearchListFile(list, "deep@x.org", "", cache), 0);
    EXPECT_EQ(SearchListFile(list, "other@x.org", "", cache), -1);
    EXPECT_EQ(SearchListFile((dir_ / "missing.lst").string(), "other@x.org", "", cache), 0);
}

TEST_F(ListFileTest, EmptyLineMatchesNoOrdinaryAddress) {
    const std::string list = Write("Allowed.lst", "\r\n\r\n");
    std::string cache;
    EXPECT_EQ(SearchListFile(list, "a@b.c", "d@e.f", cache), 0);
    EXPECT_EQ(cache, "");
}

// --- IP lock ---------------------------------------------------------------

TEST(LockRulesTest, EventsAndQuestions) {
    constexpr double now = 46361.5;
    constexpr int kMaxCount = 2147483647;
    PolicySettings s;
    s.IPLockThreshold = 3;
    s.IPLockUnit = 1;
    struct Case {
        const char* label;
        LockIPRecord before;
        const char* code;
        int result;
        bool changed;
        bool finish;
        int numspam, numgood, locklevel;
        double numrejects, lastreject;
    };
    LockIPRecord base;
    base.netip = "10.1.2.";
    auto with = [&](auto f) {
        LockIPRecord r = base;
        f(r);
        return r;
    };
    const Case cases[] = {
        {"S below threshold", with([&](auto& r) { r.numspam = 1; }), "S", 0, false, false, 2, 0, 0,
         0, 0},
        {"S reaches threshold without good mail", with([&](auto& r) {
             r.numspam = 2;
             r.numrejects = 7;
         }),
         "S", 0, true, false, 0, 0, 1, 0, 0},
        {"S with good mail, ratio 10 is not above 10", with([&](auto& r) {
             r.numspam = 9;
             r.numgood = 1;
         }),
         "S", 0, false, false, 10, 1, 0, 0, 0},
        {"S with good mail, ratio 11 locks", with([&](auto& r) {
             r.numspam = 10;
             r.numgood = 1;
         }),
         "S", 0, true, false, 0, 0, 1, 0, 0},
        {"SD locks at once and sets lastreject", with([&](auto& r) { r.locklevel = 1; }), "SD", 0,
         true, false, 0, 0, 2, 0, now},
        {"G", base, "G", 0, true, false, 0, 1, 0, 0, 0},
        {"R", base, "R", 0, true, false, 0, 0, 0, 1, now},
        {"VS never locked", base, "VS", 0, false, true, 0, 0, 0, 0, 0},
        {"VS level 3 unit 1: 3.9 days since reject, extended", with([&](auto& r) {
             r.locklevel = 3;
             r.lastreject = now - 3.9;
         }),
         "VS", -1, true, false, 0, 0, 3, 0, now},
        {"VS locked, last extension under a minute ago", with([&](auto& r) {
             r.locklevel = 3;
             r.lastreject = now - 0.5 / 1440;
         }),
         "VS", -1, false, true, 0, 0, 3, 0, now - 0.5 / 1440},
        {"VS level 3 unit 1: 4 days since reject, released", with([&](auto& r) {
             r.locklevel = 3;
             r.lastreject = now - 4;
             r.numrejects = 12;
         }),
         "VS", 0, true, false, 0, 0, 3, 0, now - 4},
        {"VS expired without rejects", with([&](auto& r) { r.locklevel = 1; }), "VS", 0, false,
         true, 0, 0, 1, 0, 0},
        {"VG good only", with([&](auto& r) { r.numgood = 1; }), "VG", -1, false, true, 0, 1, 0, 0,
         0},
        {"VG 101 good 1 spam", with([&](auto& r) {
             r.numgood = 101;
             r.numspam = 1;
         }),
         "VG", -1, false, true, 1, 101, 0, 0, 0},
        {"VG 100 good 1 spam", with([&](auto& r) {
             r.numgood = 100;
             r.numspam = 1;
         }),
         "VG", 0, false, false, 1, 100, 0, 0, 0},
        {"VR 999", with([&](auto& r) { r.numrejects = 999; }), "VR", 0, false, false, 0, 0, 0, 999,
         0},
        {"VR 1000, old reject moves", with([&](auto& r) {
             r.numrejects = 1000;
             r.lastreject = now - 1;
         }),
         "VR", -1, true, false, 0, 0, 0, 1000, now},
        {"VR 1000, extended under a minute ago", with([&](auto& r) {
             r.numrejects = 1000;
             r.lastreject = now - 0.9 * kOneMinute;
         }),
         "VR", -1, false, true, 0, 0, 0, 1000, now - 0.9 * kOneMinute},
        {"unknown code", base, "vs", 0, false, false, 0, 0, 0, 0, 0},
        // Counters and levels read at their column's largest value stay there.
        {"S at the largest count", with([&](auto& r) {
             r.numspam = kMaxCount;
             r.numgood = kMaxCount;
         }),
         "S", 0, false, false, kMaxCount, kMaxCount, 0, 0, 0},
        {"G at the largest count", with([&](auto& r) { r.numgood = kMaxCount; }), "G", 0, true,
         false, 0, kMaxCount, 0, 0, 0},
        {"SD at the highest level stays locked", with([&](auto& r) { r.locklevel = 32767; }), "SD",
         0, true, false, 0, 0, 32767, 0, now},
    };
    for (const auto& c : cases) {
        LockIPRecord r = c.before;
        const LockDecision d = ApplyLockCode(r, c.code, now, s);
        EXPECT_EQ(d.result, c.result) << c.label;
        EXPECT_EQ(d.changed, c.changed) << c.label;
        EXPECT_EQ(d.finish, c.finish) << c.label;
        EXPECT_EQ(r.numspam, c.numspam) << c.label;
        EXPECT_EQ(r.numgood, c.numgood) << c.label;
        EXPECT_EQ(r.locklevel, c.locklevel) << c.label;
        EXPECT_EQ(r.numrejects, c.numrejects) << c.label;
        EXPECT_DOUBLE_EQ(r.lastreject, c.lastreject) << c.label;
    }
}

TEST(LockRulesTest, ZeroSettings) {
    constexpr double now = 46361.5;
    PolicySettings s;  // threshold and unit left at 0
    LockIPRecord r;
    r.numspam = 1;  // the row the first "S" created
    EXPECT_TRUE(ApplyLockCode(r, "S", now, s).changed);
    EXPECT_EQ(r.locklevel, 1);  // the second "S" locks
    r.numrejects = 5;
    r.lastreject = now;
    const LockDecision d = ApplyLockCode(r, "VS", now, s);  // lock time 0 days: never locked
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(r.numrejects, 0);
}

}  // namespace
}  // namespace bw
