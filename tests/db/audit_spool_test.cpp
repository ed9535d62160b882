// Database outages: minilog rows and counts that cannot be written wait in
// the audit spool and reach the tables later, in order, with the time they
// happened, each exactly once; and the spool file itself is never written
// through a link or a foreign file.
#include "db/audit_spool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "platform/day_serial.h"
#include "tests/db/db_env.h"
#include "tests/support/manual_clock.h"

namespace bw::test {
namespace {

namespace fs = std::filesystem;

class AuditSpoolTest : public DbEnv {
  protected:
    void OpenSpool(std::int64_t limit = kAuditSpoolLimit) {
        ErrorState err = spool_.Open(State(), service_, limit);
        ASSERT_FALSE(err.Failed()) << err.description;
    }
    std::string Spool() const { return State() + "/" + kAuditSpoolName; }
};

// One event of a delivery: its row and its count, at a time of its own. The
// expected rows are remembered in order.
struct Deliveries {
    std::vector<std::string> actions;
    std::vector<std::string> times;
    ErrorState Deliver(ManualClock& clock, DbAudit& audit) {
        clock.SetNow(clock.Now() + 1.0 / 24);  // an hour later each time
        const std::string action = "900 Delivered #" + std::to_string(actions.size() + 1);
        actions.push_back(action);
        times.push_back(FixDecimal(DaySerialText(clock.Now())));
        ErrorState err = audit.AddMinLog({"BWTarnOut", 1.0, "a@x", "b'\t\\@y\r\n", action});
        audit.IncStats("delivered", 1);
        return err;
    }
};

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
        db_.conn.reset();
        Tick();
        ASSERT_TRUE(db_.IsOpen());
        Deliveries audit;
        EXPECT_FALSE(audit.Deliver(clock_, audit_).Failed());
        EXPECT_EQ(spool_.Pending(), 0);

        c.kill ? server.Kill() : server.Stop();
        audit.Deliver(clock_, audit_);  // the failure is found by the writer itself
        Tick();                         // a failed pass: the reopen below fails, and says so
        ErrorState reopen = audit.Deliver(clock_, audit_);
        EXPECT_TRUE(reopen.number == 2002 || reopen.number == 2003 || reopen.number == 2013)
            << "the session log still hears of it: " << reopen.number << " " << reopen.description;
        Tick(3);
        audit.Deliver(clock_, audit_);
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
        audit.Deliver(clock_, audit_);
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

        const auto rows = Query(server.Port(), db,
                                "SELECT action, timestamp, mailto FROM tbl_minilog ORDER BY id");
        ASSERT_EQ(rows.size(), audit.actions.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i][0], audit.actions[i]) << "in the order they happened";
            EXPECT_EQ(rows[i][1], audit.times[i]) << audit.actions[i] << ": the time it happened";
            EXPECT_EQ(rows[i][2], "b'\t\\@y\r\n");
        }
        EXPECT_EQ(Scalar(server.Port(), db, "SELECT delivered FROM tbl_stats"),
                  std::to_string(audit.actions.size()));
        const std::string all = ReadFile(Spool());
        EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1) << "emptied down to its header";
        DropTestDatabase(server.Port(), db);
    }
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
    Deliveries audit;
    for (int i = 0; i < 6; ++i) audit.Deliver(clock_, audit_);
    EXPECT_GT(spool_.Dropped(), 0);
    EXPECT_LE(fs::file_size(Spool()), 400u);
    EXPECT_EQ(Journal("Audit spool full"), 1);
    const std::int64_t kept = spool_.Pending();
    const std::int64_t dropped = spool_.Dropped();
    EXPECT_EQ(kept + dropped, 12);

    ASSERT_TRUE(server.Start());
    Tick();
    EXPECT_EQ(spool_.Pending(), 0);
    EXPECT_EQ(Journal("has room again; " + std::to_string(dropped)), 1);
    const int rows = std::stoi(Scalar(server.Port(), db, "SELECT COUNT(*) FROM tbl_minilog"));
    const int counted = std::stoi(Scalar(server.Port(), db, "SELECT delivered FROM tbl_stats"));
    EXPECT_EQ(rows + counted, kept);
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
        ErrorState err = spool_.Open(State(), service_);
        EXPECT_TRUE(err.Failed());
        EXPECT_EQ(ReadFile(outside), "BWAUDIT1\tab\t1\n") << "nothing outside is written";
    }

    // A torn last line (a crash while appending) is cut off; whole records stay.
    spool_.Close();
    fs::remove_all(State());
    fs::create_directories(State());
    const std::string whole = "BWAUDIT1\tfeed\t4\n4\tS\t1\tT1\tdelivered\t1\t0\n";
    std::ofstream(Spool()) << whole << "5\tS\t1\tT1\tdeli";
    OpenSpool();
    EXPECT_EQ(spool_.Pending(), 1);
    spool_.AppendStats(2.5, "T1", "delivered", -1, 0);
    EXPECT_EQ(ReadFile(Spool()), whole + "5\tS\t2.5\tT1\tdelivered\t-1\t0\n");
}

}  // namespace
}  // namespace bw::test
