// Connection-string files, the health check, the walk of alternatives and the
// return to the primary, with real servers going away and coming back.
#include "db/health_check.h"

#include "tests/db/db_env.h"

namespace bw::test {
namespace {

using HealthCheckTest = DbEnv;
using DbSessionTest = DbEnv;
const char* const kWarning = "DB Connection Problem: ";

TEST_F(HealthCheckTest, GetDBConnectTakesTheFirstLineFromTheFirstPlace) {
    struct Case {
        const char* label;
        const char* exeContent;  // nullptr: no file beside the executable
        const char* appContent;  // nullptr: no file in AppPath
        std::string expected;
    };
    const Case cases[] = {
        {"both places: beside the executable wins", "exe-string\r\n", "app-string\r\n",
         "exe-string"},
        {"only in AppPath", nullptr, "app-string\r\n", "app-string"},
        {"nowhere", nullptr, nullptr, ""},
        {"an empty file beside the executable still wins", "", "app-string", ""},
        {"CR alone ends the line", "first\rsecond", nullptr, "first"},
        {"LF alone ends the line", "first\nsecond", nullptr, "first"},
        {"no line break at all", "only", nullptr, "only"},
        {"empty first line", "\r\nSERVER=x", nullptr, ""},
        {"nothing is trimmed or decoded", "  SERVER={a b} ;PWD=%20 \t\r\n", nullptr,
         "  SERVER={a b} ;PWD=%20 \t"},
    };
    const std::string exe = dir_ + "/exe";
    const ConnectStrings strings{exe, dir_ + "/"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const std::string suffix : {"", "7"}) {
            const std::string name = "DBConnect" + suffix + ".dat";
            std::filesystem::remove(exe + "/" + name);
            std::filesystem::remove(dir_ + "/" + name);
            if (c.exeContent) WriteFile(exe + "/" + name, c.exeContent);
            if (c.appContent) WriteFile(dir_ + "/" + name, c.appContent);
            EXPECT_EQ(strings.GetDBConnect(suffix), c.expected) << "suffix '" << suffix << "'";
        }
    }
}

// A primary that takes the login but no query on the daemon's tables (a
// Galera node cut off from its cluster; a user whose rights were taken away)
// is left for the alternative, never reported restored, its outage goes on
// to the warning, and it is returned to only once it answers.
TEST_F(HealthCheckTest, PrimaryThatTakesLoginsButNoQueriesIsLeftUntilItAnswers) {
    const std::string pdb = NewDb();
    const std::string adb = NewDb();
    const std::string user = "nq" + pdb;
    const std::string who = "'" + user + "'@'127.0.0.1'";
    Exec(port_, pdb, "CREATE USER " + who + " IDENTIFIED BY 'nq'");
    Exec(port_, pdb, "GRANT SELECT ON " + pdb + ".tbl_minilog TO " + who);
    const std::string primary = ConnString(port_, pdb, user, "nq");
    SetConnect("", primary);
    SetConnect("1", ConnString(port_, adb));
    Tick();
    EXPECT_EQ(CurrentString(), ConnString(port_, adb));
    EXPECT_TRUE(tmrBackupDB_.Enabled());
    Tick(kOutageWarnAfterMs / 1000 + 5);  // the return probe is refused every 5 s
    EXPECT_EQ(CurrentString(), ConnString(port_, adb));
    EXPECT_EQ(Restores(), 0);
    EXPECT_EQ(Journal(kWarning), 1) << "the outage goes on while the primary takes no query";
    EXPECT_EQ(health_.Counts().failovers, 1);
    EXPECT_GE(health_.Counts().onAlternativeSinceMs, 0);

    Exec(port_, pdb, "GRANT ALL ON " + pdb + ".* TO " + who);
    Tick(5);
    EXPECT_EQ(CurrentString(), primary);
    EXPECT_EQ(Restores(), 1);
    EXPECT_FALSE(tmrBackupDB_.Enabled());
    EXPECT_EQ(health_.Counts().returns, 1);
    EXPECT_EQ(health_.Counts().onAlternativeSinceMs, -1);
    Exec(port_, pdb, "DROP USER " + who);
}

TEST_F(HealthCheckTest, UnreachablePrimaryWalksTheAlternativesInOrder) {
    const std::string good = ConnString(port_, NewDb());
    SetConnect("", Unreachable("primary"));
    SetConnect("1", Unreachable("alt1"));
    SetConnect("2", good);
    int told = -2;  // the connection string the check tells its observer
    health_.SetConnectionObserver([&told](int s) { told = s; });
    Tick();
    EXPECT_EQ(told, 2);
    EXPECT_EQ(factory_.Strings(),
              (std::vector<std::string>{Unreachable("primary"), Unreachable("alt1"), good}));
    EXPECT_EQ(factory_.made[1]->ConnectionTimeout(), MariaDbFactory::kDefaultConnectionTimeout);
    ASSERT_TRUE(db_.IsOpen());
    EXPECT_EQ(CurrentString(), good);
    EXPECT_TRUE(tmrBackupDB_.Enabled());
    EXPECT_EQ(Restores(), 0) << "no restore entry for an alternative";

    // The shared recordset works on the alternative.
    ASSERT_FALSE(audit_.AddMinLog({"BWTarnOut", 0, "a@x", "b@y", "900 Delivered x"}).Failed());
    EXPECT_EQ(Scalar(port_, dbs_[0], "SELECT COUNT(*) FROM tbl_minilog"), "1");

    // The return timer keeps probing the primary and stays on while it is away.
    factory_.made.clear();
    Tick(5);
    ASSERT_EQ(factory_.made.size(), 1u) << "one probe of the primary";
    EXPECT_EQ(factory_.made[0]->ConnectionString(), Unreachable("primary"));
    EXPECT_EQ(factory_.made[0]->ConnectionTimeout(), kPrimaryConnectTimeout);
    EXPECT_TRUE(tmrBackupDB_.Enabled());
    EXPECT_EQ(CurrentString(), good);

    // Without a return timer (a world without the main window) nothing breaks.
    db_.DropConnection();
    HealthCheck(db_, spool_, clock_, service_, nullptr).tmrDBCheck_Timer();
    EXPECT_TRUE(db_.IsOpen());

    // A gap ends the walk (1 and 3 without 2: only 1 is tried), and so does
    // an empty first line; nothing opened leaves the return timer off.
    tmrBackupDB_.SetEnabled(false);
    std::filesystem::remove(dir_ + "/DBConnect2.dat");
    SetConnect("3", good);
    for (const std::string& alt1 : {Unreachable("alt1"), std::string()}) {
        SetConnect("1", alt1);
        db_.DropConnection();
        factory_.made.clear();
        Tick();
        EXPECT_EQ(factory_.made.size(), alt1.empty() ? 1u : 2u);
        EXPECT_FALSE(db_.IsOpen());
        EXPECT_FALSE(tmrBackupDB_.Enabled());
        EXPECT_EQ(told, -1);
    }

    // 1 to 50 unreachable, 51 good: 51 is never used.
    factory_.made.clear();
    for (int i = 1; i <= 50; ++i)
        SetConnect(std::to_string(i), Unreachable("alt" + std::to_string(i)));
    SetConnect("51", good);
    Tick();
    ASSERT_EQ(factory_.made.size(), 51u);
    EXPECT_EQ(factory_.Strings().back(), Unreachable("alt50"));
    EXPECT_FALSE(db_.IsOpen());
    EXPECT_EQ(Restores(), 0);
}

// The first tick connects to the primary; the health check finds the lost
// server and reconnects at the first tick after its return; with an
// alternative it goes there and is back on the primary within five seconds
// of its return.
TEST_F(HealthCheckTest, ServerStoppedOrKilledAndRestartedIsReconnectedAtTheNextTick) {
    PrivateMariaDb server;
    ASSERT_TRUE(server.Start());
    const std::string db = CreateTestDatabase(server.Port());
    SetConnect("", ConnString(server.Port(), db));
    EXPECT_FALSE(db_.HasConnection()) << "empty until the first tick";
    Tick();
    ASSERT_TRUE(db_.IsOpen());
    ASSERT_EQ(Restores(), 1);
    EXPECT_EQ(service_.events.back().type, 4);
    EXPECT_EQ(service_.events.back().id, 110);
    ASSERT_EQ(factory_.made.size(), 1u);
    EXPECT_EQ(factory_.made[0]->ConnectionTimeout(), kPrimaryConnectTimeout);
    EXPECT_TRUE(RecordsetOnCurrent());
    // A healthy connection is only probed: no new objects, no new entries.
    Tick(5);
    EXPECT_EQ(factory_.made.size(), 1u);
    EXPECT_EQ(Restores(), 1);
    EXPECT_FALSE(tmrBackupDB_.Enabled());

    int expectedRestores = 1;
    for (bool crash : {false, true}) {
        SCOPED_TRACE(crash ? "killed" : "stopped");
        crash ? server.Kill() : server.Stop();
        Tick();
        EXPECT_FALSE(db_.IsOpen());
        Tick(3);  // away for a while: retried every tick, nothing logged
        EXPECT_FALSE(db_.IsOpen());
        EXPECT_EQ(Restores(), expectedRestores);
        ASSERT_TRUE(server.Start());
        Tick();
        EXPECT_TRUE(db_.IsOpen()) << "back at the first tick after the server";
        EXPECT_EQ(Restores(), ++expectedRestores);
    }

    // A short outage; the primary comes back: the outage ends, and the next
    // one is new.
    server.Stop();
    Tick(3);
    ASSERT_TRUE(server.Start());
    Tick();
    ASSERT_TRUE(db_.IsOpen());
    Tick(kOutageWarnAfterMs / 1000 + 60);  // healthy on the primary for three minutes
    server.Stop();
    Tick();
    EXPECT_FALSE(db_.IsOpen());
    EXPECT_EQ(Journal(kWarning), 0);

    const std::string adb = NewDb();
    SetConnect("1", ConnString(port_, adb));
    int told = -2;  // the connection string the check tells its observer
    health_.SetConnectionObserver([&told](int s) { told = s; });
    Tick();
    ASSERT_EQ(CurrentString(), ConnString(port_, adb));
    EXPECT_EQ(told, 1);
    ASSERT_TRUE(tmrBackupDB_.Enabled());
    const int restores = Restores();
    ASSERT_TRUE(server.Start());
    int ticks = 0;
    while (CurrentString() != ConnString(server.Port(), db) && ticks < 10) {
        Tick();
        ++ticks;
    }
    EXPECT_LE(ticks, 5);
    EXPECT_TRUE(db_.IsOpen());
    EXPECT_EQ(Restores(), restores + 1);
    EXPECT_FALSE(tmrBackupDB_.Enabled());
    EXPECT_TRUE(RecordsetOnCurrent()) << "recordset rebuilt on the primary";
    Tick(10);  // and stays there
    EXPECT_EQ(told, 0);
    EXPECT_EQ(Restores(), restores + 1);
    EXPECT_EQ(CurrentString(), ConnString(server.Port(), db));
}

// A database without the daemon's tables opens but answers no probe: it is
// tried at every tick and never reported restored.
TEST_F(HealthCheckTest, DatabaseWithoutStatsTableIsNeverTakenForWorking) {
    const std::string db = NewDb(/*withSchema=*/false);
    SetConnect("", ConnString(port_, db));
    Tick(3);
    EXPECT_EQ(Restores(), 0);
    EXPECT_EQ(factory_.made.size(), 3u);
    EXPECT_FALSE(db_.IsOpen());
}

TEST_F(HealthCheckTest, LongOutageIsWarnedAfterTwoMinutesThenHourly) {
    SetConnect("", Unreachable("primary"));
    Tick(kOutageWarnAfterMs / 1000 - 1);
    EXPECT_EQ(Journal(kWarning), 0);
    Tick(2);
    ASSERT_EQ(Journal(kWarning), 1);
    EXPECT_EQ(service_.events.back().type, 2);
    EXPECT_NE(service_.events.back().text.find("no database is reachable"), std::string::npos)
        << service_.events.back().text;
    Tick(kOutageWarnEveryMs / 1000 - 5);
    EXPECT_EQ(Journal(kWarning), 1);
    Tick(10);
    EXPECT_EQ(Journal(kWarning), 2);
    EXPECT_FALSE(db_.IsOpen());
    EXPECT_EQ(Restores(), 0);

    // Back: the count starts again from nothing.
    const std::string db = NewDb();
    SetConnect("", ConnString(port_, db));
    Tick();
    EXPECT_EQ(Restores(), 1);
    SetConnect("", Unreachable("primary"));
    db_.DropConnection();
    Tick(kOutageWarnAfterMs / 1000 - 5);
    EXPECT_EQ(Journal(kWarning), 2);
}

TEST_F(HealthCheckTest, ReconnectionPatternsKeepOrReplaceTheObjectAndString) {
    const std::string primaryDb = NewDb();
    const std::string altDb = NewDb();
    SetConnect("", ConnString(port_, primaryDb));
    // Each from a closed connection on an alternative.
    const struct {
        const char* label;
        std::function<bool()> reconnect;
        bool sameObject;
        std::string string;
    } cases[] = {
        {"reopen", [&] { return db_.ReconnectReopen(); }, true, ConnString(port_, altDb)},
        {"reset", [&] { return db_.ReconnectReset(); }, true, ConnString(port_, primaryDb)},
        {"fresh", [&] { return db_.ReconnectFresh(); }, false, ConnString(port_, primaryDb)},
    };
    SetConnect("1", ConnString(port_, altDb));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        db_.CloseConnection();
        ASSERT_EQ(db_.OpenAlternative(), 1);
        const std::shared_ptr<DbConnection> alt = factory_.made.back();
        ErrorState closed;
        alt->Close(closed);
        const size_t made = factory_.made.size();
        EXPECT_TRUE(c.reconnect());
        EXPECT_EQ(factory_.made.size() == made, c.sameObject);
        EXPECT_EQ(alt->State() == DbConnection::kStateOpen, c.sameObject);
        EXPECT_EQ(CurrentString(), c.string);
        EXPECT_TRUE(db_.IsOpen());
    }
    EXPECT_TRUE(db_.ReconnectReopen()) << "nothing to do when open";

    ErrorState err;
    // Without any object only Fresh can help.
    db_.DropConnection();
    EXPECT_FALSE(db_.ReconnectReset());
    EXPECT_FALSE(db_.ReconnectReopen(err));
    EXPECT_EQ(err.number, 91);
    EXPECT_TRUE(db_.ReconnectFresh());

    // A primary that does not open: false (Reopen's failure reaches the
    // minilog writer's caller, see the audit spool's outage test).
    SetConnect("", Unreachable("primary"));
    Current().Close(err);
    EXPECT_FALSE(db_.ReconnectReset());
    EXPECT_FALSE(db_.ReconnectFresh());
}

// Before the first tick, and after a failure let them go, the session has no
// connection and no shared recordset: every call fails into its ErrorState
// instead of reaching for a missing object; escaping still quotes.
TEST_F(DbSessionTest, WithoutObjectsEveryCallFails) {
    ErrorState err;
    db_.Execute("SELECT 1", err);
    EXPECT_EQ(err.number, 3709);
    err.Clear();
    EXPECT_TRUE(db_.ReadColumn("SELECT 1", "1", err).empty());
    EXPECT_EQ(err.number, 3709);
    EXPECT_EQ(db_.Escape("o'brien\\"), EscapeSqlOffline("o'brien\\"));

    SharedRecordset& rows = db_.Recordset();
    rows.Drop();
    EXPECT_FALSE(rows.Exists());
    EXPECT_EQ(rows.RecordCount(), -1);
    EXPECT_TRUE(rows.Eof());
    const std::function<void(ErrorState&)> calls[] = {
        [&](ErrorState& e) { rows.Open("SELECT 1", e); },
        [&](ErrorState& e) { rows.MoveFirst(e); },
        [&](ErrorState& e) { rows.MoveNext(e); },
        [&](ErrorState& e) { rows.Field("id", e); },
        [&](ErrorState& e) { rows.SetField("id", "1", e); },
        [&](ErrorState& e) { rows.AddNew(e); },
        [&](ErrorState& e) { rows.Update(e); },
        [&](ErrorState& e) { rows.Delete(e); },
        [&](ErrorState& e) { rows.Close(e); },
    };
    for (const auto& call : calls) {
        ErrorState e;
        call(e);
        EXPECT_EQ(e.number, 91);
    }
}

// A column read reads every row, NULL as nothing, and stops at the first failure.
TEST_F(DbSessionTest, ReadColumnReadsEveryRowUntilAFailure) {
    Connect(port_, NewDb());
    ErrorState err;
    const std::string sql = "SELECT NULL AS v UNION ALL SELECT 'x' UNION ALL SELECT ''";
    EXPECT_EQ(db_.ReadColumn(sql, "v", err),
              (std::vector<std::optional<std::string>>{std::nullopt, "x", ""}));
    EXPECT_FALSE(err.Failed()) << err.description;
    EXPECT_EQ(db_.ReadColumn(sql, "w", err).size(), 1u);
    EXPECT_EQ(err.number, 3265);
    err.Clear();
    EXPECT_TRUE(db_.ReadColumn("SELECT * FROM no_such_table", "v", err).empty());
    EXPECT_EQ(err.number, 1146);
    EXPECT_TRUE(db_.IsOpen());
}

}  // namespace
}  // namespace bw::test
