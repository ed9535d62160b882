// The minilog writer, the statistics counter and the day-serial text helpers.
#include "db/db_audit.h"

#include <clocale>
#include <cmath>

#include "platform/day_serial.h"
#include "tests/db/db_env.h"

namespace bw::test {
namespace {

TEST(DaySerialTextTest, WritesUpTo15DigitsWithAPointAndNoExponent) {
    const struct {
        double value;
        const char* text;
    } cases[] = {{MakeDaySerial(2007, 7, 4, 13, 30), "39267.5625"},
                 {39267.0, "39267"},
                 {0.0, "0"},
                 {-0.0, "0"},
                 {-1.25, "-1.25"},
                 {1.0 / 3.0, "0.333333333333333"},
                 {46361.123456789012345, "46361.123456789"},
                 {0.00001, "0.00001"},
                 {1e-7, "0.0000001"},
                 {1.5e20, "150000000000000000000"}};
    for (const auto& c : cases) EXPECT_EQ(DaySerialText(c.value), c.text) << c.value;
    EXPECT_EQ(FixDecimal("1,5,0"), "1.5.0");
}

// Switches LC_NUMERIC to a locale with a decimal comma: an installed one, or
// one compiled into a temporary folder when the locale sources are there.
bool UseCommaLocale(std::string& tempDir) {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr &&
            *std::localeconv()->decimal_point == ',') {
            return true;
        }
    }
    char tmpl[] = "/tmp/bwlocale.XXXXXX";
    tempDir = mkdtemp(tmpl);
    const std::string cmd =
        "localedef -i de_DE -f UTF-8 '" + tempDir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;
    setenv("LOCPATH", tempDir.c_str(), 1);
    const bool ok = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr &&
                    *std::localeconv()->decimal_point == ',';
    unsetenv("LOCPATH");
    return ok;
}

TEST(DaySerialTextTest, PointEvenWhenTheLocaleWritesAComma) {
    std::string tempDir;
    const bool switched = UseCommaLocale(tempDir);
    const std::string text = DaySerialText(39267.5625);
    const std::string tiny = DaySerialText(1e-7);
    std::setlocale(LC_NUMERIC, "C");
    if (!tempDir.empty()) std::filesystem::remove_all(tempDir);
    if (!switched) GTEST_SKIP() << "no locale with a decimal comma available";
    EXPECT_EQ(text, "39267.5625");
    EXPECT_EQ(tiny, "0.0000001");
}

TEST(ParseLeadingNumberTest, ReadsTheNumberAtTheStart) {
    const struct {
        const char* text;
        double value;
    } cases[] = {{"39267.5625", 39267.5625},
                 {"  -12.5abc", -12.5},
                 {"\t+7", 7},
                 {"1e3", 1000},
                 {"2.5E-1x", 0.25},
                 {"1e", 1},
                 {"3.", 3},
                 {".5", 0.5},
                 {"-.5", -0.5},
                 {"", 0},
                 {"abc", 0},
                 {"-", 0},
                 {".", 0},
                 {"1,5", 1},
                 {"12 34", 12},
                 {"1e999", HUGE_VAL},
                 {"1e-999", 0}};
    for (const auto& c : cases) EXPECT_EQ(ParseLeadingNumber(c.text), c.value) << c.text;
}

class DbAuditTest : public DbEnv {
  protected:
    ErrorState Log() {
        return audit_.AddMinLog({"BWTarnOut", 1.0, "a@x", "b@y", "900 Delivered x"});
    }
    int Rows(const std::string& db) const {
        return std::stoi(Scalar(port_, db, "SELECT COUNT(*) FROM tbl_minilog"));
    }
};

TEST_F(DbAuditTest, MinilogRowCarriesTheRecordAndTheTimeOfWriting) {
    const std::string db = NewDb();
    Connect(port_, db);
    clock_.SetNow(MakeDaySerial(2007, 7, 4, 13, 30));
    const std::string from = "o'brien\\\"@exa'mple.com";
    const std::string action = "590 Peer Delivery ERROR 1234 (550 it's \\ bad)";
    ErrorState err = audit_.AddMinLog({"BWTarnOut", 12345.5, from, "to'x@y", action});
    EXPECT_FALSE(err.Failed()) << err.description;
    auto rows =
        Query(port_, db, "SELECT ipaddress, timestamp, mailfrom, mailto, action FROM tbl_minilog");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "BWTarnOut");
    EXPECT_EQ(rows[0][1], "39267.5625") << "the time of writing, not the record's";
    EXPECT_EQ(rows[0][2], from);
    EXPECT_EQ(rows[0][3], "to'x@y");
    EXPECT_EQ(rows[0][4], action);
    EXPECT_FALSE(db_.rs->IsOpen()) << "closed again after the row";

    // A closed connection is reopened, not replaced.
    auto conn = db_.conn;
    conn->Close(err);
    EXPECT_FALSE(Log().Failed());
    EXPECT_EQ(db_.conn, conn);
    EXPECT_TRUE(db_.IsOpen());
    EXPECT_EQ(Rows(db), 2);
}

TEST_F(DbAuditTest, RecordsetLeftOnTheOldConnectionAfterAFreshReconnect) {
    const std::string db = NewDb();
    Exec(port_, db, "INSERT INTO tbl_stats (tarnid) VALUES ('T1')");
    Connect(port_, db);
    auto old = db_.conn;
    ErrorState err;
    old->Close(err);

    // The counter replaces the connection object; the recordset stays bound to the old one.
    audit_.IncStats("delivered", 1);
    EXPECT_EQ(Scalar(port_, db, "SELECT delivered FROM tbl_stats"), "1");
    EXPECT_NE(db_.conn, old);
    EXPECT_EQ(db_.rs->ActiveConnection(), old);

    // So the next minilog row fails to open, waits in the spool without a
    // report, and the connection is dropped ...
    EXPECT_FALSE(Log().Failed());
    EXPECT_FALSE(db_.conn);
    EXPECT_EQ(Rows(db), 0);
    EXPECT_EQ(spool_.Pending(), 1);
    // ... until the next tick rebuilds both and writes it.
    Tick();
    EXPECT_EQ(db_.rs->ActiveConnection(), db_.conn);
    EXPECT_EQ(Rows(db), 1);
    EXPECT_FALSE(Log().Failed());
    EXPECT_EQ(Rows(db), 2);
}

TEST_F(DbAuditTest, CountsAddSetAndSubtract) {
    const std::string db = NewDb();
    const std::string odd = "Q'\\1";
    Exec(port_, db, "INSERT INTO tbl_stats (tarnid) VALUES ('T1'), ('T2'), ('Q''\\\\1')");
    Connect(port_, db);
    const struct {
        const char* label;
        std::string tarnid;
        const char* field;
        std::int32_t amount;
        bool absolute;
        const char* expected;
    } steps[] = {
        {"add one", "T1", "delivered", 1, false, "1"},
        {"add again", "T1", "delivered", 1, false, "2"},
        {"set", "T1", "delivered", 5, true, "5"},
        {"add a negative amount", "T1", "delivered", -2, false, "3"},
        {"set to a negative amount", "T1", "delivered", -4, true, "-4"},
        {"greylist counter", "T1", "passedgrey", 1, false, "1"},
        {"quote and backslash in the key", odd, "addedgrey", 3, false, "3"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.label);
        DbAudit(db_, spool_, clock_, s.tarnid).Count(s.field, s.amount, s.absolute);
        EXPECT_EQ(Scalar(port_, db,
                         std::string("SELECT ") + s.field + " FROM tbl_stats WHERE tarnid = '" +
                             EscapeSqlOffline(s.tarnid) + "'"),
                  s.expected);
        EXPECT_TRUE(db_.IsOpen());
    }
    EXPECT_EQ(
        Scalar(port_, db,
               "SELECT delivered + passedgrey + addedgrey FROM tbl_stats WHERE tarnid = 'T2'"),
        "0");

    // No row for the installation: nothing changes, nothing is dropped.
    auto conn = db_.conn;
    DbAudit(db_, spool_, clock_, "NOROW").IncStats("delivered", 1);
    EXPECT_EQ(db_.conn, conn);
    // A field that is no plain column name is never sent.
    audit_.IncStats("delivered=0 WHERE 1=1 OR delivered", 1);
    EXPECT_EQ(db_.conn, conn);
    EXPECT_EQ(Scalar(port_, db, "SELECT delivered FROM tbl_stats WHERE tarnid = 'T1'"), "-4");
    // An unknown column fails on the server: the connection is dropped and
    // the count waits in the spool, which the server goes on refusing: the
    // journal names it once, later counts queue behind it.
    audit_.IncStats("nosuchcolumn", 1);
    EXPECT_FALSE(db_.conn);
    Tick(3);
    audit_.IncStats("delivered", 1);
    EXPECT_EQ(spool_.Pending(), 2);
    EXPECT_EQ(Journal("refuses record 1 (1054 "), 1);
}

}  // namespace
}  // namespace bw::test
