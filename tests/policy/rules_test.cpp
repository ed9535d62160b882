// The policy decisions without a database: wildcard matching, list files with
// alias lines, the network part, IP-lock rules, greylist verdicts and the
// list-file formats.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "db/shared_main.h"
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
        EXPECT_EQ(clsSharedMain::WildMatch(c.address, c.pattern), c.expected)
            << "address '" << c.address << "' pattern '" << c.pattern << "'";
    }
}

TEST(NetworkPartTest, DottedQuadsOnly) {
    const struct {
        const char* ip;
        const char* net;  // nullptr: rejected
    } cases[] = {
        {"10.1.2.3", "10.1.2."}, {"10.1.2.200", "10.1.2."}, {"a.b.c.d", "a.b.c."},
        {"1.2.3", nullptr},      {"1.2.3.4.5", nullptr},    {"1.2.34", nullptr},
        {"1.2.3.", nullptr},     {"10.1.2.", "10.1.2."},    {"1234567", nullptr},
    };
    for (const auto& c : cases) {
        const auto net = NetworkPart(c.ip);
        if (c.net == nullptr) {
            EXPECT_FALSE(net.has_value()) << c.ip;
        } else {
            ASSERT_TRUE(net.has_value()) << c.ip;
            EXPECT_EQ(*net, c.net);
        }
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
    SharedSettings s;
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
    SharedSettings s;  // threshold and unit left at 0
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

TEST(LockRulesTest, NewRows) {
    constexpr double now = 46361.5;
    for (const char* code : {"R", "VS", "VG", "VR", "X"}) {
        LockIPRecord r;
        EXPECT_FALSE(StartLockRow(r, "10.1.2.", code, now)) << code;
    }
    LockIPRecord sd;
    sd.numgood = 4;  // from a row keyed by the full address
    ASSERT_TRUE(StartLockRow(sd, "10.1.2.", "SD", now));
    EXPECT_EQ(sd.netip, "10.1.2.");
    EXPECT_EQ(sd.locklevel, 3);
    EXPECT_EQ(sd.numgood, 0);
    EXPECT_EQ(sd.lastreject, now);
    EXPECT_EQ(sd.lastlocked, now);
    LockIPRecord s;
    s.lockdays = 2;
    ASSERT_TRUE(StartLockRow(s, "10.1.2.", "S", now));
    EXPECT_EQ(s.numspam, 1);
    EXPECT_EQ(s.lastspam, now);
    EXPECT_EQ(s.lockdays, 2);
}

TEST(LockRulesTest, ListLineRoundTrip) {
    LockIPRecord r;
    r.netip = "10.1.2.";
    r.numspam = 3;
    r.numgood = 4;
    r.lastspam = 39267.5625;
    r.lastgood = 39268.25;
    r.numrejects = 1000;
    r.lastreject = 39269.125;
    r.locklevel = 2;
    r.lockdays = 7;
    r.lastlocked = 39270.5;
    const std::string line = LockLine(r);
    EXPECT_EQ(line, "10.1.2.\t3\t4\t39267.5625\t39268.25\t1000\t39269.125\t2\t7\t39270.5");
    const LockIPRecord back = ParseLockLine(line);
    EXPECT_EQ(LockLine(back), line);
    const LockIPRecord shortLine = ParseLockLine("10.9.9.\t5\tjunk");
    EXPECT_EQ(shortLine.netip, "10.9.9.");
    EXPECT_EQ(shortLine.numspam, 5);
    EXPECT_EQ(shortLine.numgood, 0);
    EXPECT_EQ(shortLine.lastlocked, 0);
}

// --- greylisting -----------------------------------------------------------

TEST(GreyRulesTest, VerdictBoundaries) {
    SharedSettings s;
    s.GreyDelay = 5;
    s.GreyFrame = 240;
    s.GreyExp = 36;
    const double t0 = 46361.5;
    const double minute = 1.0 / 1440.0;
    GreyEntry pending;
    pending.rectime = t0;
    GreyEntry allowed;
    allowed.allowed = -1;
    allowed.lastcontact = t0;
    const struct {
        const char* label;
        const GreyEntry& e;
        double now;
        GreyVerdict v;
        int code;
    } cases[] = {
        {"retry after 2 minutes", pending, t0 + 2 * minute, GreyVerdict::TooEarly, 1},
        {"retry after 5 minutes exactly", pending, t0 + 300000 / 86400000.0, GreyVerdict::Promote,
         3},
        {"retry after 240 minutes exactly", pending, t0 + 240 * 60000 / 86400000.0,
         GreyVerdict::Promote, 3},
        {"retry after 241 minutes", pending, t0 + 241 * minute, GreyVerdict::TooLate, 2},
        {"contact after 35 days", allowed, t0 + 35, GreyVerdict::Pass, 3},
        {"contact after 36 days exactly", allowed, t0 + 36, GreyVerdict::Expired, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JudgeGreyEntry(c.e, c.now, s), c.v) << c.label;
        EXPECT_EQ(GreyResultCode(JudgeGreyEntry(c.e, c.now, s)), c.code) << c.label;
    }
    EXPECT_TRUE(KeepGreyEntry(pending, t0 + 239 * minute, s));
    EXPECT_FALSE(KeepGreyEntry(pending, t0 + 240 * 60000 / 86400000.0, s));
    EXPECT_TRUE(KeepGreyEntry(allowed, t0 + 35, s));
    EXPECT_FALSE(KeepGreyEntry(allowed, t0 + 36, s));
}

TEST(GreyRulesTest, ListLineRoundTrip) {
    GreyEntry e;
    e.netip = "10.1.2.";
    e.mailfrom = "o'brien@x.org";
    e.mailto = "boss@corp.com";
    e.rectime = 39267.5625;
    e.allowed = -1;
    e.lastcontact = 39268.75;
    e.earlycount = 4;
    const std::string line = GreyLine(e);
    EXPECT_EQ(line, "10.1.2.\to'brien@x.org\tboss@corp.com\t39267.5625\t-1\t39268.75");
    const GreyEntry back = ParseGreyLine(line);
    EXPECT_EQ(GreyLine(back), line);
    EXPECT_EQ(back.earlycount, 0);  // not part of the file
    const GreyEntry partial = ParseGreyLine("10.1.2.\ta@b\tc@d\tnonsense");
    EXPECT_EQ(partial.rectime, 0);
    EXPECT_EQ(partial.allowed, 0);
    EXPECT_EQ(partial.mailto, "c@d");
}

}  // namespace
}  // namespace bw
