// The minilog writer, the statistics counter and the day-serial text helpers;
// database outages: rows and counts that cannot be written wait in the audit
// spool and reach the tables later, in order, with the time they happened,
// each exactly once; and the spool file itself is never written through a
// link or a foreign file.
#include "db/db_audit.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

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
                 {1e-7, "0.0000001"},
                 {1.5e20, "150000000000000000000"}};
    for (const auto& c : cases) EXPECT_EQ(DaySerialText(c.value), c.text) << c.value;
    EXPECT_EQ(FixDecimal("1,5,0"), "1.5.0");
}

bool CommaLocale(const char* name) {
    return std::setlocale(LC_NUMERIC, name) != nullptr && *std::localeconv()->decimal_point == ',';
}

TEST(DaySerialTextTest, PointEvenWhenTheLocaleWritesAComma) {
    // An installed locale with a decimal comma, or one compiled here from the locale sources.
    const TempDir dir("bwlocale");
    bool switched = CommaLocale("de_DE.UTF-8") || CommaLocale("fr_FR.UTF-8");
    const std::string make = "localedef -i de_DE -f UTF-8 '" + dir.Path() + "/de' >/dev/null 2>&1";
    if (!switched && std::system(make.c_str()) == 0) {
        setenv("LOCPATH", dir.Path().c_str(), 1);
        switched = CommaLocale("de");
        unsetenv("LOCPATH");
    }
    const std::string text = DaySerialText(39267.5625);
    const std::string tiny = DaySerialText(1e-7);
    std::setlocale(LC_NUMERIC, "C");
    if (!switched) GTEST_SKIP() << "no locale with a decimal comma available";
    EXPECT_EQ(text, "39267.5625");
    EXPECT_EQ(tiny, "0.0000001");
}

TEST(ParseLeadingNumberTest, ReadsTheNumberAtTheStart) {
    const struct {
        const char* text;
        double value;
    } cases[] = {{"  -12.5abc", -12.5},
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
                 {"1e999", HUGE_VAL},
                 {"1e-999", 0}};
    for (const auto& c : cases) EXPECT_EQ(ParseLeadingNumber(c.text), c.value) << c.text;
}

namespace fs = std::filesystem;

class DbAuditTest : public DbEnv {
  protected:
    ErrorState Log() {
        return audit_.AddMinLog({"BWTarnOut", 1.0, "a@x", "b@y", "900 Delivered x"});
    }
    int Rows(const std::string& db) const {
        return std::stoi(Scalar(port_, db, "SELECT COUNT(*) FROM tbl_minilog"));
    }
    void OpenSpool(std::int64_t limit = kAuditSpoolLimit) {
        ErrorState err = spool_.Open(State(), service_, limit);
        ASSERT_FALSE(err.Failed()) << err.description;
    }
    std::string Spool() const { return State() + "/" + kAuditSpoolName; }
    // One event of a delivery: its row and its count, at a time of its own.
    // The expected rows (action, time, recipient) are remembered in order.
    ErrorState Deliver() { return audit_.AddCountedMinLog(Next(), "delivered"); }
    // The next event's row, an hour later than the one before.
    MinilogRow Next() {
        clock_.SetNow(clock_.Now() + 1.0 / 24);
        const std::string action = "900 Delivered #" + std::to_string(delivered_.size() + 1);
        delivered_.push_back({action, FixDecimal(DaySerialText(clock_.Now())), "b'\t\\@y\r\n"});
        return {"BWTarnOut", 1.0, "a@x", "b'\t\\@y\r\n", action};
    }
    // The rows in the table and its count match the events, the spool is empty.
    void ExpectEachEventOnce(int port, const std::string& db) {
        EXPECT_EQ(Query(port, db, "SELECT action, timestamp, mailto FROM tbl_minilog ORDER BY id"),
                  delivered_);
        EXPECT_EQ(Scalar(port, db, "SELECT delivered FROM tbl_stats WHERE tarnid = 'T1'"),
                  std::to_string(delivered_.size()));
        EXPECT_EQ(spool_.Pending(), 0);
        const std::string all = ReadFile(Spool());
        EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1) << "emptied down to its header";
    }
    std::vector<Row> delivered_;
};
using AuditSpoolTest = DbAuditTest;

TEST_F(DbAuditTest, MinilogRowCarriesTheRecordAndTheTimeOfItsEvent) {
    const std::string db = NewDb();
    Connect(port_, db);
    clock_.SetNow(MakeDaySerial(2007, 7, 4, 13, 30));
    const std::string from = "o'brien\\\"@exa'mple.com";
    const std::string action = "590 Peer Delivery ERROR 1234 (550 it's \\ bad)";
    ErrorState err = audit_.AddMinLog({"BWTarnOut", 12345.5, from, "to'x@y", action});
    EXPECT_FALSE(err.Failed()) << err.description;
    // The time it was handed over, not the record's.
    EXPECT_EQ(
        Query(port_, db, "SELECT ipaddress, timestamp, mailfrom, mailto, action FROM tbl_minilog"),
        (std::vector<Row>{{"BWTarnOut", "39267.5625", from, "to'x@y", action}}));
    EXPECT_EQ(EscapeSqlOffline(from), db_.Escape(from));

    // A closed connection: the row waits in the spool for the next check,
    // which makes a new connection and writes it, with the time of its event.
    Current().Close(err);
    clock_.SetNow(clock_.Now() + 1.0 / 24);
    EXPECT_FALSE(Log().Failed());
    EXPECT_EQ(Rows(db), 1);
    EXPECT_EQ(spool_.Pending(), 1);
    clock_.SetNow(clock_.Now() + 1.0 / 24);
    Tick();
    EXPECT_EQ(Rows(db), 2);
    EXPECT_EQ(Scalar(port_, db, "SELECT timestamp FROM tbl_minilog ORDER BY id DESC LIMIT 1"),
              "39267.6041666667");
}

TEST_F(DbAuditTest, CountsAddAndSubtract) {
    const std::string db = NewDb();
    const std::string odd = "Q'\\1";
    Exec(port_, db, "INSERT INTO tbl_stats (tarnid) VALUES ('T1'), ('T2'), ('Q''\\\\1')");
    Connect(port_, db);
    const struct {
        const char* label;
        std::string tarnid;
        const char* field;
        std::int32_t amount;
        const char* expected;
    } steps[] = {
        {"add one", "T1", "delivered", 1, "1"},
        {"add again", "T1", "delivered", 1, "2"},
        {"add a negative amount", "T1", "delivered", -2, "0"},
        {"greylist counter", "T1", "passedgrey", 1, "1"},
        {"quote and backslash in the key", odd, "addedgrey", 3, "3"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.label);
        DbAudit(spool_, clock_, s.tarnid, [this] {
            spool_.Replay(db_);
        }).IncStats(s.field, s.amount);
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

    // An installation without its row (a new one): the row is made, the count kept.
    DbAudit(spool_, clock_, "NEW1", [this] { spool_.Replay(db_); }).IncStats("delivered", 2);
    EXPECT_EQ(Scalar(port_, db, "SELECT delivered FROM tbl_stats WHERE tarnid = 'NEW1'"), "2");
    // A field that is no plain column name is never sent.
    audit_.IncStats("delivered=0 WHERE 1=1 OR delivered", 1);
    EXPECT_EQ(spool_.Pending(), 0);
    EXPECT_EQ(Scalar(port_, db, "SELECT delivered FROM tbl_stats WHERE tarnid = 'T1'"), "0");
    // An unknown column fails on the server: the count waits in the spool,
    // which the server goes on refusing: the journal names it once, later
    // counts queue behind it.
    audit_.IncStats("nosuchcolumn", 1);
    Tick(3);
    audit_.IncStats("delivered", 1);
    EXPECT_EQ(spool_.Pending(), 2);
    EXPECT_EQ(Journal("(1054 "), 1);
}

TEST_F(AuditSpoolTest, OutageLosesNoRowOrCountAndWritesNoneTwice) {
    PrivateMariaDb server;
    ASSERT_TRUE(server.Start());
    const struct {
        const char* label;
        bool kill;           // SIGKILL rather than a clean stop
        bool restartDaemon;  // the daemon restarts while the records wait
        bool answerLost;     // the replay's COMMIT landed, its answer did not
    } cases[] = {
        {"server stopped", false, false, false},
        {"server killed", true, false, false},
        {"daemon restarted during the outage", true, true, false},
        {"spool found again after its records were written", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        spool_.Close();
        fs::remove_all(State());
        OpenSpool();
        const std::string db = CreateTestDatabase(server.Port());
        Exec(server.Port(), db, "INSERT INTO tbl_stats (tarnid) VALUES ('T1')");
        SetConnect("", ConnString(server.Port(), db));
        db_.DropConnection();
        Tick();
        ASSERT_TRUE(db_.IsOpen());
        delivered_.clear();
        EXPECT_FALSE(Deliver().Failed());
        EXPECT_EQ(spool_.Pending(), 0);

        c.kill ? server.Kill() : server.Stop();
        Deliver();  // the write-back finds the failure
        Tick();     // a failed pass
        Deliver();
        Tick(3);
        Deliver();
        EXPECT_EQ(spool_.Pending(), 6);
        if (c.restartDaemon) {
            spool_.Close();
            OpenSpool();
            EXPECT_EQ(spool_.Pending(), 6) << "kept across a restart";
        }
        const std::string copy = Spool() + ".copy";
        fs::copy_file(Spool(), copy);

        ASSERT_TRUE(server.Start());
        // A row written before the next tick queues behind the spooled ones.
        Deliver();
        Tick(2);
        EXPECT_EQ(spool_.Pending(), 0);
        if (c.answerLost) {
            // As if the daemon died after the COMMIT, before it emptied the file.
            spool_.Close();
            fs::rename(copy, Spool());
            OpenSpool();
            EXPECT_EQ(spool_.Pending(), 6);
            Tick();
            EXPECT_EQ(spool_.Pending(), 0);
        }

        // Each once, in the order they happened, with the time they happened.
        ExpectEachEventOnce(server.Port(), db);
        DropTestDatabase(server.Port(), db);
    }
}

// The fast profile: rows and counts wait in the spool file, unflushed, until
// the end of the group writes them in a few statements; the counts are summed
// per column.
TEST_F(DbAuditTest, GroupedRowsAndCountsGoToTheTablesAtTheEndOfTheGroup) {
    const std::string db = NewDb();
    Exec(port_, db, "INSERT INTO tbl_stats (tarnid) VALUES ('T1')");
    Connect(port_, db);
    audit_.SetGrouped(true);
    for (int i = 0; i < 600; ++i) EXPECT_FALSE(Deliver().Failed());  // three batches
    audit_.IncStats("passedgrey", 5);
    audit_.IncStats("passedgrey", 3);
    EXPECT_EQ(Rows(db), 0);
    EXPECT_EQ(spool_.Pending(), 1202);
    audit_.FlushGroup();
    ExpectEachEventOnce(port_, db);
    EXPECT_EQ(Scalar(port_, db, "SELECT passedgrey FROM tbl_stats"), "8");

    // The database away: the group stays in the spool for the health check,
    // which goes back to the primary and writes it.
    ErrorState ignored;
    Current().Close(ignored);
    Current().SetConnectionString(Unreachable("away"));
    Deliver();
    audit_.FlushGroup();
    EXPECT_EQ(spool_.Pending(), 2);
    Tick();
    ExpectEachEventOnce(port_, db);
}

// A crash between two groups: what a process appended and never flushed is
// in the file, and the next start writes each record once, also when the
// crash came after the COMMIT and before the file was emptied.
TEST_F(AuditSpoolTest, GroupedRecordsOutliveACrashAndAreWrittenOnce) {
    const std::string db = NewDb();
    Exec(port_, db, "INSERT INTO tbl_stats (tarnid) VALUES ('T1')");
    Connect(port_, db);
    audit_.SetGrouped(true);
    for (int i = 0; i < 3; ++i) Deliver();
    audit_.FlushGroup();
    spool_.Close();
    const pid_t child = ::fork();
    if (child == 0) {
        // The grouped writer never uses the connection it shares with the parent.
        const bool opened = !spool_.Open(State(), service_).Failed();
        for (int i = 0; i < 4; ++i) Deliver();
        ::_exit(opened && spool_.Pending() == 8 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int i = 0; i < 4; ++i) Next();  // what the child did

    OpenSpool();
    EXPECT_EQ(spool_.Pending(), 8);
    fs::copy_file(Spool(), Spool() + ".copy");
    audit_.FlushGroup();
    ExpectEachEventOnce(port_, db);
    spool_.Close();
    fs::rename(Spool() + ".copy", Spool());
    OpenSpool();
    EXPECT_EQ(spool_.Pending(), 8);
    audit_.FlushGroup();
    ExpectEachEventOnce(port_, db);
}

TEST_F(AuditSpoolTest, FullSpoolDropsAndSaysSoOnce) {
    PrivateMariaDb server;
    ASSERT_TRUE(server.Start());
    const std::string db = CreateTestDatabase(server.Port());
    Exec(server.Port(), db, "INSERT INTO tbl_stats (tarnid) VALUES ('T1')");
    // An installation whose schema has no mark table yet: the replay makes it.
    Exec(server.Port(), db, "DROP TABLE tbl_auditmark");
    OpenSpool(400);
    SetConnect("", ConnString(server.Port(), db));
    server.Stop();
    for (int i = 0; i < 6; ++i) Deliver();
    EXPECT_GT(spool_.Dropped(), 0);
    EXPECT_LE(fs::file_size(Spool()), 400u);
    EXPECT_EQ(Journal("Audit spool full"), 1);
    const std::int64_t kept = spool_.Pending();
    const std::int64_t dropped = spool_.Dropped();
    EXPECT_EQ(kept + dropped, 12);
    EXPECT_EQ(kept % 2, 0) << "a delivery's row and count are kept or dropped together";

    ASSERT_TRUE(server.Start());
    Tick();
    EXPECT_EQ(spool_.Pending(), 0);
    EXPECT_EQ(Journal("has room again; " + std::to_string(dropped)), 1);
    EXPECT_EQ(Scalar(server.Port(), db,
                     "SELECT delivered + (SELECT COUNT(*) FROM tbl_minilog) FROM tbl_stats"),
              std::to_string(kept));
    EXPECT_EQ(Scalar(server.Port(), db, "SELECT delivered FROM tbl_stats"),
              Scalar(server.Port(), db, "SELECT COUNT(*) FROM tbl_minilog"));
}

// A state folder that takes no more writes (a full disk; here a file size
// limit) while the database is away: rows and counts wait in memory, the
// journal says so once and names the backlog, and the database gets every one
// when it answers; the disk taking writes again is said too.
TEST_F(AuditSpoolTest, FullDiskAndNoDatabaseKeepRecordsInMemory) {
    PrivateMariaDb server;
    ASSERT_TRUE(server.Start());
    const std::string db = CreateTestDatabase(server.Port());
    Exec(server.Port(), db, "INSERT INTO tbl_stats (tarnid) VALUES ('T1')");
    SetConnect("", ConnString(server.Port(), db));
    server.Stop();
    Tick();
    // The limit holds for this process only while `full` lives.
    struct FileSizeLimit {
        explicit FileSizeLimit(rlim_t bytes) {
            std::signal(SIGXFSZ, SIG_IGN);
            ::getrlimit(RLIMIT_FSIZE, &old);
            rlimit now = old;
            now.rlim_cur = bytes;
            ::setrlimit(RLIMIT_FSIZE, &now);
        }
        ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old); }
        rlimit old{};
    };
    auto full = std::make_unique<FileSizeLimit>(fs::file_size(Spool()));
    for (int i = 0; i < 500; ++i) Deliver();
    EXPECT_EQ(spool_.Pending(), 1000);
    EXPECT_EQ(spool_.Lost(), 0);
    EXPECT_EQ(Journal("cannot be written"), 1);
    EXPECT_EQ(Journal("holds 1000 records"), 1);
    EXPECT_GT(spool_.OldestWhen(), 0);

    full.reset();  // the server below must write; the spool tries again only a second later
    ASSERT_TRUE(server.Start());
    Tick(2);
    EXPECT_EQ(spool_.Pending(), 0);
    EXPECT_EQ(Journal("is empty again"), 1);
    ExpectEachEventOnce(server.Port(), db);

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Deliver();
    EXPECT_EQ(Journal("can be written again"), 1);
    Tick();
    ExpectEachEventOnce(server.Port(), db);
}

TEST_F(AuditSpoolTest, SpoolIsNeverOpenedThroughALinkOrAForeignFile) {
    const std::string outside = dir_ + "/outside";
    // Each one in an empty state folder, beside a file outside it that holds
    // a good spool header (the missing folder is made at every SetUp).
    const struct {
        const char* label;
        std::function<void()> prepare;
    } cases[] = {
        {"spool is a symbolic link", [&] { fs::create_symlink(outside, Spool()); }},
        {"spool has a second link", [&] { fs::create_hard_link(outside, Spool()); }},
        {"state folder is a file",
         [&] {
             fs::remove(State());
             std::ofstream(State()) << "x";
         }},
        {"spool is a FIFO", [&] { ::mkfifo(Spool().c_str(), 0600); }},
        {"spool is a foreign file", [&] { std::ofstream(Spool()) << "hello\n"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        spool_.Close();
        fs::remove_all(State());
        fs::create_directories(State());
        std::ofstream(outside) << "BWAUDIT1\tab\t1\n";
        c.prepare();
        EXPECT_TRUE(spool_.Open(State(), service_).Failed());
        EXPECT_EQ(ReadFile(outside), "BWAUDIT1\tab\t1\n") << "nothing outside is written";
    }

    // A torn last line (a crash while appending) is cut off, and the journal
    // says so; whole records stay.
    spool_.Close();
    fs::remove_all(State());
    fs::create_directories(State());
    const std::string whole = "BWAUDIT1\tfeed\t4\n4\tS\t1\tT1\tdelivered\t1\t0\n";
    std::ofstream(Spool()) << whole << "5\tS\t1\tT1\tdeli";
    OpenSpool();
    EXPECT_EQ(spool_.Pending(), 1);
    EXPECT_EQ(Journal("a torn last record of 13 bytes"), 1);
    spool_.AppendStats(2.5, "T1", "delivered", -1, 0);
    EXPECT_EQ(ReadFile(Spool()), whole + "5\tS\t2.5\tT1\tdelivered\t-1\t0\n");
}

}  // namespace
}  // namespace bw::test
