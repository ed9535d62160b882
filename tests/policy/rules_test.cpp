// The policy decisions without a database: wildcard matching, list files with
// alias lines, and the IP-lock rules. The greylist verdicts and the list-file
// formats are tested on the real database (greylist_test.cpp, lists_test.cpp).
#include <gtest/gtest.h>

#include <tuple>

#include "host/textfile.h"
#include "policy/policy_rules.h"
#include "tests/support/temp_dir.h"

namespace bw {
namespace {

TEST(WildMatchTest, RulesInOrder) {
    const struct {
        const char *address, *pattern;
        int expected;
    } cases[] = {
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
    std::string Write(const std::string& name, const std::string& text) {
        test::WriteFile(tmp_.Path() + "/" + name, text);
        return tmp_.Path() + "/" + name;
    }
    test::TempDir tmp_{"bw_listfile"};
    const std::string dir_ = tmp_.Path() + "/";
    SettingsFiles files_{dir_, dir_, {}};
};

TEST_F(ListFileTest, LinesAliasesAndCache) {
    const std::string inner = Write("inner.lst", "deep@x.org\r\n");
    const std::string alias =
        Write("more.lst", "ALIAS:" + inner + "\r\nfriend@a.org\r\n*@partner.net\r\n");
    const std::string emptyAlias = Write("empty.lst", "");
    const std::string list =
        Write("Allowed.lst",
              "boss@corp.com\r\n"
              "\r\n"
              "alias:" +
                  alias + "\r\nALIAS:" + emptyAlias + "\rALIAS:/no/such/file\nlast@line.org");
    const struct {
        std::string from, retPath;
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
        {"nobody@nowhere", "", 0, ""},                 // the empty line is no pattern for it
        {"", "", 0, ""},
        {"deep@x.org", "", 0, ""},  // an alias line inside an alias file is only a pattern
        {"ALIAS:" + inner, "", -1, nullptr},
        // An empty alias file or a missing one: the alias line is a pattern.
        {"ALIAS:/no/such/file", "", -1, "ALIAS:/NO/SUCH/FILE\t"},
        {"ALIAS:" + emptyAlias, "", -1, nullptr},
    };
    for (const auto& c : cases) {
        std::string cache;
        EXPECT_EQ(SearchListFile(files_, list, c.from, c.retPath, cache), c.found) << c.from;
        EXPECT_EQ(cache, c.cache != nullptr ? c.cache : cache) << c.from;  // nullptr: any
    }
    std::string cache;
    EXPECT_EQ(SearchListFile(files_, tmp_.Path() + "/missing.lst", "boss@corp.com", "", cache), 0);
}

// --- IP lock ---------------------------------------------------------------

// The counters of a lock row that the rules change.
struct LockFields {
    int numspam, numgood, locklevel;
    double numrejects, lastreject;
};

TEST(LockRulesTest, EventsAndQuestions) {
    constexpr double now = 46361.5;
    constexpr int kMax = 2147483647;
    constexpr double kHalf = 0.5 * kOneMinute;  // since the last extension
    constexpr double k09 = 0.9 * kOneMinute;
    PolicySettings s;
    s.IPLockThreshold = 3;
    s.IPLockUnit = 1;
    const struct {
        const char* label;
        LockFields before;
        const char* code;
        int result;
        bool changed, finish;
        LockFields after;
    } cases[] = {
        // clang-format off
        {"S below threshold", {1, 0, 0, 0, 0}, "S", 0, false, false, {2, 0, 0, 0, 0}},
        {"S reaches threshold without good mail",
         {2, 0, 0, 7, 0}, "S", 0, true, false, {0, 0, 1, 0, 0}},
        {"S with good mail, ratio 10 is not above 10",
         {9, 1, 0, 0, 0}, "S", 0, false, false, {10, 1, 0, 0, 0}},
        {"S with good mail, ratio 11 locks",
         {10, 1, 0, 0, 0}, "S", 0, true, false, {0, 0, 1, 0, 0}},
        {"SD locks at once and sets lastreject",
         {0, 0, 1, 0, 0}, "SD", 0, true, false, {0, 0, 2, 0, now}},
        {"G", {0, 0, 0, 0, 0}, "G", 0, true, false, {0, 1, 0, 0, 0}},
        {"R", {0, 0, 0, 0, 0}, "R", 0, true, false, {0, 0, 0, 1, now}},
        {"VS never locked", {0, 0, 0, 0, 0}, "VS", 0, false, true, {0, 0, 0, 0, 0}},
        {"VS level 3 unit 1: 3.9 days since reject, extended",
         {0, 0, 3, 0, now - 3.9}, "VS", -1, true, false, {0, 0, 3, 0, now}},
        {"VS locked, last extension under a minute ago",
         {0, 0, 3, 0, now - kHalf}, "VS", -1, false, true, {0, 0, 3, 0, now - kHalf}},
        {"VS level 3 unit 1: 4 days since reject, released",
         {0, 0, 3, 12, now - 4}, "VS", 0, true, false, {0, 0, 3, 0, now - 4}},
        {"VS expired without rejects", {0, 0, 1, 0, 0}, "VS", 0, false, true, {0, 0, 1, 0, 0}},
        {"VG good only", {0, 1, 0, 0, 0}, "VG", -1, false, true, {0, 1, 0, 0, 0}},
        {"VG 101 good 1 spam", {1, 101, 0, 0, 0}, "VG", -1, false, true, {1, 101, 0, 0, 0}},
        {"VG 100 good 1 spam", {1, 100, 0, 0, 0}, "VG", 0, false, false, {1, 100, 0, 0, 0}},
        {"VR 999", {0, 0, 0, 999, 0}, "VR", 0, false, false, {0, 0, 0, 999, 0}},
        {"VR 1000, old reject moves",
         {0, 0, 0, 1000, now - 1}, "VR", -1, true, false, {0, 0, 0, 1000, now}},
        {"VR 1000, extended under a minute ago",
         {0, 0, 0, 1000, now - k09}, "VR", -1, false, true, {0, 0, 0, 1000, now - k09}},
        {"unknown code", {0, 0, 0, 0, 0}, "vs", 0, false, false, {0, 0, 0, 0, 0}},
        // Counters and levels read at their column's largest value stay there.
        {"S at the largest count",
         {kMax, kMax, 0, 0, 0}, "S", 0, false, false, {kMax, kMax, 0, 0, 0}},
        {"SD at the highest level stays locked",
         {0, 0, 32767, 0, 0}, "SD", 0, true, false, {0, 0, 32767, 0, now}},
        // clang-format on
    };
    for (const auto& c : cases) {
        LockIPRecord r{.netip = "10.1.2.",
                       .numspam = c.before.numspam,
                       .numgood = c.before.numgood,
                       .numrejects = c.before.numrejects,
                       .lastreject = c.before.lastreject,
                       .locklevel = static_cast<std::int16_t>(c.before.locklevel)};
        const LockDecision d = ApplyLockCode(r, c.code, now, s);
        EXPECT_EQ(std::tuple(d.result, d.changed, d.finish),
                  std::tuple(c.result, c.changed, c.finish))
            << c.label;
        EXPECT_EQ(
            std::tuple(r.numspam, r.numgood, int{r.locklevel}, r.numrejects),
            std::tuple(c.after.numspam, c.after.numgood, c.after.locklevel, c.after.numrejects))
            << c.label;
        EXPECT_DOUBLE_EQ(r.lastreject, c.after.lastreject) << c.label;
    }
}

}  // namespace
}  // namespace bw
