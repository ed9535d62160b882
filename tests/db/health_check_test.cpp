// Connection-string files, the health check, the walk of alternatives and the
// return to the primary, with real servers going away and coming back.
#include "db/health_check.h"

#include "db/db_session.h"
#include "tests/db/db_env.h"

namespace bw::test {
namespace {

class HealthCheckTest : public DbEnv {
  protected:
    /// A fresh database on the shared server, dropped when the test ends.
    std::string NewDb(bool withSchema = true) {
        return dbs_.emplace_back(CreateTestDatabase(port_, withSchema));
    }
    void TearDown() override {
        for (const auto& d : dbs_) DropTestDatabase(port_, d);
        DbEnv::TearDown();
    }
    int Warnings() const {
        int n = 0;
        for (const auto& e : service_.events) n += e.text.rfind("DB Connection Problem: ", 0) == 0;
        return n;
    }
    const int port_ = SharedDbPort();
    std::vector<std::string> dbs_;
};

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
        {"several lines", "first\r\nsecond\r\n", nullptr, "first"},
        {"CR alone ends the line", "first\rsecond", nullptr, "first"},
        {"LF alone ends the line", "first\nsecond", nullptr, "first"},
        {"no line break at all", "only", nullptr, "only"},
        {"empty first line", "\r\nSERVER=x", nullptr, ""},
        {"nothing is trimmed or decoded", "  SERVER={a b} ;PWD=%20 \t\r\n", nullptr,
         "  SERVER={a b} ;PWD=%20 \t"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const std::string suffix : {"", "7"}) {
            const std::string name = "DBConnect" + suffix + ".dat";
            std::filesystem::remove(exeDir_ + "/" + name);
            std::filesystem::remove(appDir_ + "/" + name);
            if (c.exeContent) WriteFile(exeDir_, name, c.exeContent);
            if (c.appContent) WriteFile(appDir_, name, c.appContent);
            EXPECT_EQ(GetDBConnect(suffix), c.expected) << "suffix '" << suffix << "'";
        }
    }
}

TEST_F(HealthCheckTest, FirstTickConnectsToThePrimaryAndLogsTheRestore) {
    const std::string db = NewDb();
    SetConnect("", ConnString(port_, db));
    EXPECT_FALSE(G().db.conn) << "empty until the first tick";
    Tick();
    ASSERT_TRUE(Open());
    EXPECT_EQ(Restores(), 1);
    ASSERT_EQ(factory_.made.size(), 1u);
    EXPECT_EQ(factory_.made[0]->ConnectionTimeout(), kPrimaryConnectTimeout);
    ASSERT_TRUE(G().db.rs);
    EXPECT_EQ(G().db.rs->ActiveConnection(), G().db.conn);
    const auto& e = service_.events.back();
    EXPECT_EQ(e.type, 4);
    EXPECT_EQ(e.id, 110);
    // A healthy connection is only probed: no new objects, no new entries.
    Tick(5);
    EXPECT_EQ(factory_.made.size(), 1u);
    EXPECT_EQ(Restores(), 1);
    EXPECT_FALSE(tmrBackupDB_->Enabled());
}

TEST_F(HealthCheckTest, WalkStopsAtTheFirstGapAndNeverPasses50) {
    const std::string db = NewDb();
    const std::string good = ConnString(port_, db);
    SetConnect("", Unreachable("primary"));

    // 1 and 3 without 2: only 1 is tried.
    SetConnect("1", Unreachable("alt1"));
    SetConnect("3", good);
    Tick();
    EXPECT_EQ(factory_.Strings(),
              (std::vector<std::string>{Unreachable("primary"), Unreachable("alt1")}));
    EXPECT_EQ(factory_.made[1]->ConnectionTimeout(), MariaDbFactory::kDefaultConnectionTimeout);
    EXPECT_FALSE(Open());
    EXPECT_FALSE(tmrBackupDB_->Enabled());

    // An empty first line ends the walk like a missing file.
    factory_.made.clear();
    SetConnect("1", "");
    Tick();
    EXPECT_EQ(factory_.made.size(), 1u);

    // 1 to 50 unreachable, 51 good: 51 is never used.
    factory_.made.clear();
    for (int i = 1; i <= 50; ++i)
        SetConnect(std::to_string(i), Unreachable("alt" + std::to_string(i)));
    SetConnect("51", good);
    Tick();
    ASSERT_EQ(factory_.made.size(), 51u);
    EXPECT_EQ(factory_.Strings().back(), Unreachable("alt50"));
    EXPECT_FALSE(Open());
    EXPECT_EQ(Restores(), 0);
}

TEST_F(HealthCheckTest, UnreachablePrimaryFallsBackToAlternativeTwo) {
    const std::string db = NewDb();
    SetConnect("", Unreachable("primary"));
    SetConnect("1", Unreachable("alt1"));
    SetConnect("2", ConnString(port_, db));
    Tick();
    EXPECT_EQ(factory_.Strings(),
              (std::vector<std::string>{Unreachable("primary"), Unreachable("alt1"),
                                        ConnString(port_, db)}));
    ASSERT_TRUE(Open());
    EXPECT_EQ(CurrentString(), ConnString(port_, db));
    EXPECT_TRUE(tmrBackupDB_->Enabled());
    EXPECT_EQ(Restores(), 0) << "no restore entry for an alternative";

    // The shared recordset works on the alternative.
    ASSERT_FALSE(G().oShared->AddMinLog("BWTarnOut", 0, "a@x", "b@y", "900 Delivered x").Failed());
    EXPECT_EQ(Scalar(port_, db, "SELECT COUNT(*) FROM tbl_minilog"), "1");

    // The return timer keeps probing the primary and stays on while it is away.
    factory_.made.clear();
    Tick(5);
    ASSERT_EQ(factory_.made.size(), 1u) << "one probe of the primary";
    EXPECT_EQ(factory_.made[0]->ConnectionString(), Unreachable("primary"));
    EXPECT_EQ(factory_.made[0]->ConnectionTimeout(), kPrimaryConnectTimeout);
    EXPECT_TRUE(tmrBackupDB_->Enabled());
    EXPECT_EQ(CurrentString(), ConnString(port_, db));

    // Without a tmrBackupDB (a test world without the main window) nothing breaks.
    G().db.conn.reset();
    G().tmrBackupDB = nullptr;
    Tick();
    EXPECT_TRUE(Open());
}

TEST_F(HealthCheckTest, BackOnThePrimaryWithinFiveSecondsOfItsReturn) {
    PrivateMariaDb primary;
    ASSERT_TRUE(primary.Start());
    const std::string pdb = CreateTestDatabase(primary.Port());
    primary.Stop();
    const std::string adb = NewDb();
    SetConnect("", ConnString(primary.Port(), pdb));
    SetConnect("1", ConnString(port_, adb));
    Tick();
    ASSERT_EQ(CurrentString(), ConnString(port_, adb));
    ASSERT_TRUE(tmrBackupDB_->Enabled());

    ASSERT_TRUE(primary.Start());
    int ticks = 0;
    while (CurrentString() != ConnString(primary.Port(), pdb) && ticks < 10) {
        Tick();
        ++ticks;
    }
    EXPECT_LE(ticks, 5);
    EXPECT_TRUE(Open());
    EXPECT_EQ(Restores(), 1);
    EXPECT_FALSE(tmrBackupDB_->Enabled());
    EXPECT_EQ(G().db.rs->ActiveConnection(), G().db.conn) << "recordset rebuilt on the primary";
    // Stays there.
    Tick(10);
    EXPECT_EQ(Restores(), 1);
    EXPECT_EQ(CurrentString(), ConnString(primary.Port(), pdb));
}

TEST_F(HealthCheckTest, ServerStoppedOrKilledAndRestartedIsReconnectedAtTheNextTick) {
    PrivateMariaDb server;
    ASSERT_TRUE(server.Start());
    const std::string db = CreateTestDatabase(server.Port());
    SetConnect("", ConnString(server.Port(), db));
    Tick();
    ASSERT_TRUE(Open());
    ASSERT_EQ(Restores(), 1);
    int expectedRestores = 1;
    for (bool crash : {false, true}) {
        SCOPED_TRACE(crash ? "killed" : "stopped");
        if (crash) {
            server.Kill();
        } else {
            server.Stop();
        }
        Tick();
        EXPECT_FALSE(Open());
        Tick(3);  // away for a while: retried every tick, nothing logged
        EXPECT_FALSE(Open());
        EXPECT_EQ(Restores(), expectedRestores);
        ASSERT_TRUE(server.Start());
        Tick();
        EXPECT_TRUE(Open()) << "back at the first tick after the server";
        EXPECT_EQ(Restores(), ++expectedRestores);
    }
    G().oShared->IncStats("X", "delivered", 1);
    EXPECT_TRUE(Open());
}

TEST_F(HealthCheckTest, DatabaseWithoutStatsTableIsRebuiltEveryTick) {
    const std::string db = NewDb(/*withSchema=*/false);
    SetConnect("", ConnString(port_, db));
    Tick(3);
    EXPECT_EQ(Restores(), 3);
    EXPECT_EQ(factory_.made.size(), 3u);
}

TEST_F(HealthCheckTest, LongOutageIsWarnedAfterTwoMinutesThenHourly) {
    SetConnect("", Unreachable("primary"));
    Tick(kOutageWarnAfterMs / 1000 - 1);
    EXPECT_EQ(Warnings(), 0);
    Tick(2);
    ASSERT_EQ(Warnings(), 1);
    EXPECT_EQ(service_.events.back().type, 2);
    EXPECT_NE(service_.events.back().text.find("no database is reachable"), std::string::npos)
        << service_.events.back().text;
    Tick(kOutageWarnEveryMs / 1000 - 5);
    EXPECT_EQ(Warnings(), 1);
    Tick(10);
    EXPECT_EQ(Warnings(), 2);
    EXPECT_FALSE(Open());
    EXPECT_EQ(Restores(), 0);

    // Back: the count starts again from nothing.
    const std::string db = NewDb();
    SetConnect("", ConnString(port_, db));
    Tick();
    EXPECT_EQ(Restores(), 1);
    SetConnect("", Unreachable("primary"));
    G().db.conn.reset();
    Tick(kOutageWarnAfterMs / 1000 - 5);
    EXPECT_EQ(Warnings(), 2);
}

TEST_F(HealthCheckTest, PrimaryReconnectedByADatabaseUserEndsTheOutage) {
    PrivateMariaDb server;
    ASSERT_TRUE(server.Start());
    const std::string db = CreateTestDatabase(server.Port());
    SetConnect("", ConnString(server.Port(), db));
    Tick();
    ASSERT_TRUE(Open());

    // A short outage; the primary comes back and a delivery's count
    // reconnects to it before the next tick, so no pass ever sees it open.
    server.Stop();
    Tick(3);
    ASSERT_TRUE(server.Start());
    G().oShared->IncStats("T1", "delivered", 1);
    ASSERT_TRUE(Open());
    Tick(kOutageWarnAfterMs / 1000 + 60);  // healthy on the primary for three minutes
    EXPECT_EQ(Warnings(), 0);

    // The next short outage is new: no warning about the earlier one.
    server.Stop();
    Tick();
    EXPECT_FALSE(Open());
    EXPECT_EQ(Warnings(), 0);
}

TEST_F(HealthCheckTest, ReconnectionPatternsKeepOrReplaceTheObjectAndString) {
    const std::string primaryDb = NewDb();
    const std::string altDb = NewDb();
    SetConnect("", ConnString(port_, primaryDb));
    auto onAlternative = [&] {
        auto c = factory_.NewConnection();
        c->SetConnectionString(ConnString(port_, altDb));
        G().db.conn = c;
        return c;
    };
    ErrorState err;

    // Reopen: same object, same (alternative) string.
    auto c = onAlternative();
    EXPECT_TRUE(G().db.ReconnectReopen());
    EXPECT_EQ(G().db.conn, c);
    EXPECT_EQ(CurrentString(), ConnString(port_, altDb));
    EXPECT_TRUE(G().db.ReconnectReopen()) << "nothing to do when open";
    EXPECT_EQ(G().db.conn, c);

    // Reset: same object, primary string.
    c = onAlternative();
    EXPECT_TRUE(G().db.ReconnectReset());
    EXPECT_EQ(G().db.conn, c);
    EXPECT_EQ(CurrentString(), ConnString(port_, primaryDb));

    // Fresh: a new object on the primary.
    c = onAlternative();
    EXPECT_TRUE(G().db.ReconnectFresh());
    EXPECT_NE(G().db.conn, c);
    EXPECT_EQ(CurrentString(), ConnString(port_, primaryDb));

    // Without any object only Fresh can help.
    G().db.conn.reset();
    EXPECT_FALSE(G().db.ReconnectReset());
    EXPECT_FALSE(G().db.ReconnectReopen(err));
    EXPECT_EQ(err.number, 91);
    EXPECT_TRUE(G().db.ReconnectFresh());

    // A primary that does not open: false, and the open's failure is handed back.
    SetConnect("", Unreachable("primary"));
    ErrorState closeFirst;
    G().db.conn->Close(closeFirst);
    G().db.conn->SetConnectionString(Unreachable("primary"));
    err.Clear();
    EXPECT_FALSE(G().db.ReconnectReopen(err));
    EXPECT_TRUE(err.number == 2002 || err.number == 2003) << err.number << " " << err.description;
    EXPECT_FALSE(G().db.ReconnectReset());
    EXPECT_FALSE(G().db.ReconnectFresh());
}

}  // namespace
}  // namespace bw::test
