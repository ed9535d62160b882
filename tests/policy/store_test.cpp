// The policy store against a real private MariaDB: every state change of the
// greylist and the IP lock on a manual clock, the purge phases and its
// midnight rule, the sender lists, quoting, list files, and a server that
// goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "db/connect_string.h"
#include "db/db_audit.h"
#include "db/db_session.h"
#include "db/shared_main.h"
#include "host/globals.h"
#include "platform/clock.h"
#include "platform/day_serial.h"
#include "platform/mariadb.h"
#include "platform/service.h"
#include "policy/policy_state.h"
#include "tests/support/mariadb_server.h"

namespace bw {
namespace {

namespace fs = std::filesystem;

constexpr double kT0 = 46361.5;  // 5 Dec 2026, 12:00
constexpr double kMinute = 60000 / 86400000.0;

class PolicyDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetGlobals();
        SharedPolicySettings() = SharedSettings{};
        dir_ = fs::temp_directory_path() /
               ("bw_policy_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "TarnIN");
        G().clock = &clock_;
        G().service = &service_;
        G().db.factory = &factory_;
        G().AppPath = dir_.string() + "/";
        G().AccPath = G().AppPath + "TarnIN/";
        G().TarnID = "7E57";
        G().audit = std::make_unique<DbAudit>(G().db, G().spool, clock_, G().TarnID);
        G().oShared = std::make_unique<clsSharedMain>();
        shared().SetAccPath(G().AccPath);
        G().db.connectStrings = {dir_.string(), G().AppPath};  // never the test program's folder
        if (UsesSharedServer()) Attach(test::SharedDbPort());
    }

    void TearDown() override {
        G().db.rs.reset();
        G().db.conn.reset();
        ResetGlobals();
        SharedPolicySettings() = SharedSettings{};
        if (!db_.empty() && port_ == test::SharedDbPort()) test::DropTestDatabase(port_, db_);
        fs::remove_all(dir_);
    }

    virtual bool UsesSharedServer() const { return true; }

    // A fresh database on that server, its DBConnect.dat, and the shared
    // connection and recordset opened on it as the health check leaves them.
    void Attach(int port) {
        port_ = port;
        db_ = test::CreateTestDatabase(port_);
        std::ofstream(dir_ / "DBConnect.dat") << test::ConnString(port_, db_) << "\r\n";
        Sql("INSERT INTO tbl_stats (tarnid) VALUES ('7E57')");
        G().db.conn = factory_.NewConnection();
        G().db.conn->SetConnectionString(test::ConnString(port_, db_));
        ErrorState err;
        G().db.conn->Open(err);
        ASSERT_FALSE(err.Failed()) << err.description;
        G().db.rs = factory_.NewRecordset();
        G().db.rs->SetActiveConnection(G().db.conn, err);
    }

    clsSharedMain& shared() { return *G().oShared; }
    void Sql(const std::string& sql) { test::Exec(port_, db_, sql); }
    std::string One(const std::string& sql) { return test::Scalar(port_, db_, sql); }
    int Count(const std::string& table, const std::string& where = "1") {
        return std::stoi(One("SELECT COUNT(*) FROM " + table + " WHERE " + where));
    }
    std::string Stat(const std::string& column) {
        return One("SELECT " + column + " FROM tbl_stats WHERE tarnid = '7E57'");
    }
    double Num(const std::string& sql) { return std::stod(One(sql)); }
    void WriteFile(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    ManualClock clock_{kT0};
    FakeService service_;
    MariaDbFactory factory_;
    fs::path dir_;
    int port_ = 0;
    std::string db_;
};

// --- greylisting -----------------------------------------------------------

TEST_F(PolicyDbTest, GreyTripletPendingEarlyThenAllowed) {
    shared().SetGreyDelay(5);
    shared().SetGreyFrame(240);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 0);
    EXPECT_EQ(Count("tbl_greylist"), 1);
    EXPECT_EQ(One("SELECT CONCAT(netip,'|',ipaddress,'|',allowed,'|',earlycount) FROM "
                  "tbl_greylist"),
              "10.1.2.|10.1.2.3|0|0");
    EXPECT_EQ(Num("SELECT rectime FROM tbl_greylist"), kT0);
    EXPECT_EQ(Stat("addedgrey"), "1");

    clock_.SetNow(kT0 + 2 * kMinute);  // early retry from another host of the network
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.99", "a@x.org", "b@corp.com", "", 0, 0), 1);
    EXPECT_EQ(One("SELECT CONCAT(ipaddress,'|',earlycount,'|',allowed) FROM tbl_greylist"),
              "10.1.2.99|1|0");

    clock_.SetNow(kT0 + 5 * kMinute);  // exactly the delay: not too early
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 3);
    EXPECT_EQ(One("SELECT allowed FROM tbl_greylist"), "-1");
    EXPECT_NEAR(Num("SELECT lastcontact FROM tbl_greylist"), kT0 + 5 * kMinute, 1e-9);
    EXPECT_EQ(Stat("allowedgrey"), "1");
    EXPECT_EQ(Stat("passedgrey"), "1");
    EXPECT_EQ(Stat("addedgrey"), "1");
    EXPECT_EQ(Count("tbl_greylist"), 1);
}

TEST_F(PolicyDbTest, GreyEarlyCountStopsAtItsLargestValue) {
    shared().SetGreyDelay(5);
    Sql("INSERT INTO tbl_greylist (netip, mailfrom, mailto, rectime, earlycount) VALUES "
        "('10.1.2.', 'a@x.org', 'b@corp.com', 46361.5, 2147483647)");
    clock_.SetNow(kT0 + kMinute);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.4", "a@x.org", "b@corp.com", "", 0, 0), 1);
    EXPECT_EQ(One("SELECT CONCAT(earlycount,'|',ipaddress) FROM tbl_greylist"),
              "2147483647|10.1.2.4");
}

TEST_F(PolicyDbTest, GreyFrameBoundary) {
    shared().SetGreyDelay(5);
    shared().SetGreyFrame(240);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "late@x.org", "b@corp.com", "", 0, 0), 0);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "edge@x.org", "b@corp.com", "", 0, 0), 0);
    clock_.SetNow(kT0 + 240 * kMinute);  // exactly the frame: not too late
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "edge@x.org", "b@corp.com", "", 0, 0), 3);
    clock_.SetNow(kT0 + 241 * kMinute);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "late@x.org", "b@corp.com", "", 0, 0), 2);
    EXPECT_EQ(One("SELECT CONCAT(allowed,'|',earlycount,'|',lastcontact) FROM tbl_greylist "
                  "WHERE mailfrom = 'late@x.org'"),
              "0|0|0");
    // A pending row past its frame is never replaced by the check.
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "late@x.org", "b@corp.com", "", 0, 0), 2);
    EXPECT_EQ(Count("tbl_greylist"), 2);
}

TEST_F(PolicyDbTest, GreyAllowedAtOnceThenExpires) {
    shared().SetGreyExp(36);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", -1, 0), 3);
    EXPECT_EQ(One("SELECT CONCAT(allowed,'|',lastcontact) FROM tbl_greylist"), "-1|46361.5");
    EXPECT_EQ(Stat("addedgrey"), "0");
    EXPECT_EQ(Stat("passedgrey"), "0");

    clock_.SetNow(kT0 + 35);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 3);
    EXPECT_EQ(Num("SELECT lastcontact FROM tbl_greylist"), kT0 + 35);
    EXPECT_EQ(Stat("passedgrey"), "1");

    clock_.SetNow(kT0 + 35 + 36);  // exactly GreyExp days after the last contact
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", -1, 0), 0);
    EXPECT_EQ(Num("SELECT lastcontact FROM tbl_greylist"), kT0 + 35);
    EXPECT_EQ(Stat("passedgrey"), "1");
    EXPECT_EQ(Count("tbl_greylist"), 1);
}

TEST_F(PolicyDbTest, GreyDeleteAndNetworkQuery) {
    Sql("INSERT INTO tbl_greylist (netip, mailfrom, mailto, allowed) VALUES "
        "('10.1.2.', 'a@x.org', 'b@corp.com', 0), ('10.1.2.', 'a@x.org', 'b@corp.com', -1), "
        "('10.1.2.', 'c@x.org', 'b@corp.com', 0), ('10.9.9.', 'a@x.org', 'b@corp.com', -1)");
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.7", "", "", "VG", 0, 0), -1);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.7", "a@x.org", "b@corp.com", "D", 0, 0), 0);
    EXPECT_EQ(Count("tbl_greylist", "netip = '10.1.2.'"), 1);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.7", "", "", "VG", 0, 0), 0);  // only a pending one left
    EXPECT_EQ(shared().CheckGreyIP("10.5.5.5", "", "", "VG", 0, 0), 0);
    // Deleting an unknown triplet inserts nothing.
    EXPECT_EQ(shared().CheckGreyIP("10.5.5.5", "n@x.org", "b@corp.com", "D", 0, 0), 0);
    EXPECT_EQ(Count("tbl_greylist"), 2);
    EXPECT_EQ(Stat("addedgrey"), "0");
}

TEST_F(PolicyDbTest, GreyRejectsNonQuadsWithoutTheDatabase) {
    G().db.conn.reset();  // a database access would answer 9
    for (const char* ip : {"1.2.3", "1.2.3.4.5", "1.2.34", ""}) {
        EXPECT_EQ(shared().CheckGreyIP(ip, "a@x.org", "b@corp.com", "", 0, 0), 0) << ip;
        EXPECT_EQ(shared().CheckLockIP(ip, "S"), 0) << ip;
    }
    EXPECT_EQ(shared().CheckGreyIP("a.b.c.d", "a@x.org", "b@corp.com", "", 0, 0), 9);
    EXPECT_EQ(Count("tbl_greylist"), 0);
}

TEST_F(PolicyDbTest, QuotesAndBackslashesAreStoredAndMatchedAsGiven) {
    shared().SetGreyDelay(5);
    const std::string from = "o'brien\\x@y.org";
    const std::string to = "it's\\'me@corp.com";
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", from, to, "", 0, 0), 0);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", from, to, "", 0, 0), 1);
    EXPECT_EQ(test::Query(port_, db_, "SELECT mailfrom, mailto FROM tbl_greylist")[0],
              (test::Row{from, to}));

    shared().AddAllowed(from, "boss'\\@corp.com");
    EXPECT_EQ(Count("tbl_allowed"), 1);
    EXPECT_EQ(shared().IsAllowed(from, "", "boss'\\@corp.com"), -1);
    EXPECT_EQ(shared().IsAllowed("o'brien", "", ""), 0);
    // Four parts, so a network key; the rest of the address stays inside its literal.
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3' OR '1'='1", "G"), 0);
    EXPECT_EQ(One("SELECT CONCAT(COUNT(*),'|',MIN(netip),'|',MIN(numgood)) FROM tbl_lockip"),
              "1|10.1.2.|1");
}

TEST_F(PolicyDbTest, SaveGreyIPKeepsLiveEntriesLogsDroppedOnesAndCompacts) {
    shared().SetGreyFrame(240);
    shared().SetGreyExp(36);
    const std::string file = G().AppPath + "GreyIP.lst";
    WriteFile(file,
              "10.1.2.\tkeep@x.org\tb@corp.com\t46361.45\t0\t0\r\n"      // pending, in frame
              "10.1.3.\told@x.org\tb@corp.com\t46361.3\t0\t0\r\n"        // pending, past frame
              "10.1.4.\tfan@x.org\tb@corp.com\t46300\t-1\t46340\r\n"     // allowed, recent
              "10.1.5.\tgone@x.org\tb@corp.com\t46000\t-1\t46325.5\r\n"  // allowed, 36 days
              "\r\n");                                                   // a free slot
    shared().LoadGreyIP();
    ASSERT_EQ(shared().Policy().greyList.size(), 6u);
    shared().SaveGreyIP();
    std::ifstream in(file, std::ios::binary);
    const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved,
              "10.1.2.\tkeep@x.org\tb@corp.com\t46361.45\t0\t0\r\n"
              "10.1.4.\tfan@x.org\tb@corp.com\t46300\t-1\t46340\r\n");
    EXPECT_EQ(Count("tbl_minilog", "action = '595 Dropped from DDS'"), 2);
    EXPECT_EQ(One("SELECT GROUP_CONCAT(CONCAT(ipaddress,'|',mailfrom,'|',mailto) ORDER BY id) FROM "
                  "tbl_minilog"),
              "10.1.3.|old@x.org|b@corp.com,10.1.5.|gone@x.org|b@corp.com");
    EXPECT_EQ(shared().Policy().greyList.size(), 6u);  // small lists keep their free slots
    EXPECT_TRUE(shared().Policy().greyList[2].netip.empty());

    // 150 slots, 80 of them dropped: rebuilt from the file (80 > 75).
    std::string text;
    for (int i = 0; i < 150; ++i) {
        text += "10.2." + std::to_string(i) + ".\ta@x.org\tb@corp.com\t" +
                (i < 80 ? "46000" : "46361.45") + "\t0\t0\r\n";
    }
    WriteFile(file, text);
    shared().LoadGreyIP();
    shared().SaveGreyIP();
    EXPECT_EQ(shared().Policy().greyList.size(), 71u);

    // 100 slots all dropped: not more than 100, so the free slots stay.
    text.clear();
    for (int i = 0; i < 100; ++i) text += "10.3." + std::to_string(i) + ".\ta\tb\t46000\t0\t0\r\n";
    WriteFile(file, text);
    shared().LoadGreyIP();
    shared().SaveGreyIP();
    EXPECT_EQ(shared().Policy().greyList.size(), 101u);
}

// --- IP lock ---------------------------------------------------------------

TEST_F(PolicyDbTest, LockBySpamWithThresholdZero) {
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "S"), 0);
    EXPECT_EQ(One("SELECT CONCAT(netip,'|',numspam,'|',locklevel,'|',lastspam) FROM tbl_lockip"),
              "10.1.2.|1|0|46361.5");
    EXPECT_EQ(shared().CheckLockIP("10.1.2.200", "S"), 0);  // same network, same row
    EXPECT_EQ(Count("tbl_lockip"), 1);
    EXPECT_EQ(One("SELECT CONCAT(numspam,'|',locklevel,'|',lastlocked,'|',lastreject) FROM "
                  "tbl_lockip"),
              "0|1|46361.5|0");
    // Locked by spam but never rejected: the lock time runs from lastreject (0).
    shared().SetIPLockUnit(1);
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "VS"), 0);
}

TEST_F(PolicyDbTest, LockAtOnceHoldsForFourUnitsAndExtendsOnQuestions) {
    shared().SetIPLockUnit(1);
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "SD"), 0);
    EXPECT_EQ(One("SELECT CONCAT(locklevel,'|',lastreject,'|',lastlocked) FROM tbl_lockip"),
              "3|46361.5|46361.5");
    clock_.SetNow(kT0 + 0.5 * kMinute);
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "VS"), -1);
    EXPECT_EQ(Num("SELECT lastreject FROM tbl_lockip"), kT0);  // under a minute: not moved
    clock_.SetNow(kT0 + 3.5);
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "VS"), -1);
    EXPECT_EQ(Num("SELECT lastreject FROM tbl_lockip"), kT0 + 3.5);
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "R"), 0);
    EXPECT_EQ(One("SELECT numrejects FROM tbl_lockip"), "1");
    clock_.SetNow(kT0 + 3.5 + 4);  // four days after the last reject: released
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "VS"), 0);
    EXPECT_EQ(One("SELECT CONCAT(numrejects,'|',locklevel) FROM tbl_lockip"), "0|3");
}

TEST_F(PolicyDbTest, LockQuestionsAndRowsKeyedByFullAddress) {
    // A network without a row: questions answer 0, "R" stores nothing.
    for (const char* code : {"VS", "VG", "VR", "R", "X"}) {
        EXPECT_EQ(shared().CheckLockIP("10.7.7.7", code), 0) << code;
    }
    EXPECT_EQ(Count("tbl_lockip"), 0);
    Sql("INSERT INTO tbl_lockip (netip, numgood, lockdays) VALUES ('10.7.7.7', 50, 9)");
    EXPECT_EQ(shared().CheckLockIP("10.7.7.7", "G"), 0);
    // The new network row took the full-address row's other values.
    EXPECT_EQ(One("SELECT CONCAT(numgood,'|',lockdays) FROM tbl_lockip WHERE netip = '10.7.7.'"),
              "1|9");
    EXPECT_EQ(shared().CheckLockIP("10.7.7.1", "VG"), -1);

    Sql("INSERT INTO tbl_lockip (netip, numgood, numspam, numrejects, lastreject) VALUES "
        "('10.8.8.', 100, 1, 1000, 46361.4)");
    EXPECT_EQ(shared().CheckLockIP("10.8.8.8", "VG"), 0);
    EXPECT_EQ(shared().CheckLockIP("10.8.8.8", "VR"), -1);
    EXPECT_EQ(Num("SELECT lastreject FROM tbl_lockip WHERE netip = '10.8.8.'"), kT0);
    EXPECT_EQ(shared().CheckLockIP("10.8.8.8", "G"), 0);
    EXPECT_EQ(shared().CheckLockIP("10.8.8.8", "VG"), -1);  // 101 good, 1 spam
}

TEST_F(PolicyDbTest, LockListFileRoundTrip) {
    const std::string file = G().AppPath + "LockIP.lst";
    const std::string text =
        "10.1.2.\t3\t4\t39267.5625\t39268.25\t1000\t39269.125\t2\t7\t39270.5\r\n"
        "10.1.3.\t1\r\n";
    WriteFile(file, text);
    shared().LoadLockIP();
    ASSERT_EQ(shared().Policy().lockTable.size(), 3u);
    EXPECT_EQ(shared().Policy().lockTable[2].numspam, 1);
    shared().SaveLockIP();
    std::ifstream in(file, std::ios::binary);
    const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved,
              text.substr(0, text.find("10.1.3.")) + "10.1.3.\t1\t0\t0\t0\t0\t0\t0\t0\t0\r\n");

    // Another process holding the file: the save and the load give up.
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    shared().Policy().lockTable.resize(1);
    shared().SaveLockIP();
    EXPECT_EQ(fs::file_size(file), saved.size());
    shared().LoadLockIP();
    EXPECT_EQ(shared().Policy().lockTable.size(), 1u);
    ::close(fd);
    shared().LoadLockIP();
    EXPECT_EQ(shared().Policy().lockTable.size(), 3u);

    fs::remove(file);
    shared().LoadLockIP();
    EXPECT_EQ(shared().Policy().lockTable.size(), 1u);
}

// --- sender lists ----------------------------------------------------------

TEST_F(PolicyDbTest, ExactRowsOwnersAndWildcards) {
    Sql("INSERT INTO tbl_allowed (fromaddress, owner) VALUES ('a@x.com', ''), "
        "('b@x.com', 'boss@corp.com'), ('*@partner.net', ''), ('news@*', 'boss@corp.com')");
    Sql("INSERT INTO tbl_disallowed (fromaddress, owner) VALUES ('*spam*', '')");
    const struct {
        const char* from;
        const char* retPath;
        const char* owner;
        int allowed;
        int denied;
    } cases[] = {
        {"a@x.com", "", "", -1, 0},
        {"", "A@X.COM", "", -1, 0},         // the return path alone
        {"A@x.com", "a@X.com", "", -1, 0},  // equal apart from case
        {"b@x.com", "", "", 0, 0},          // another owner's entry
        {"b@x.com", "", "boss@corp.com", -1, 0},
        {"Joe@PARTNER.net", "", "", -1, 0},  // leading star, any case
        {"x@y.z", "joe@partner.net", "", -1, 0},
        {"news@anywhere.org", "", "", 0, 0},  // owner's wildcard row
        {"news@anywhere.org", "", "boss@corp.com", -1, 0},
        {"bulk@spamhaus.example", "", "", 0, -1},
        {"", "", "", 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shared().IsAllowed(c.from, c.retPath, c.owner), c.allowed)
            << c.from << " / " << c.retPath << " / " << c.owner;
        EXPECT_EQ(shared().IsDisAllowed(c.from, c.retPath, c.owner), c.denied)
            << c.from << " / " << c.retPath << " / " << c.owner;
    }
    EXPECT_EQ(shared().AllowCache(), "");  // database matches are not cached
}

TEST_F(PolicyDbTest, AllowTwinReplacesAClosedConnectionDenyTwinReopensIt) {
    Sql("INSERT INTO tbl_allowed (fromaddress) VALUES ('a@x.com')");
    Sql("INSERT INTO tbl_disallowed (fromaddress) VALUES ('a@x.com')");
    const std::shared_ptr<DbConnection> old = G().db.conn;
    ErrorState e;
    old->Close(e);
    EXPECT_EQ(shared().IsDisAllowed("a@x.com", ""), -1);
    EXPECT_EQ(G().db.conn, old);
    EXPECT_EQ(old->State(), DbConnection::kStateOpen);

    old->Close(e);
    // A new connection object; the shared recordset is still bound to the
    // closed one, so the lookup fails and drops the connection for the health
    // check to rebuild both.
    EXPECT_EQ(shared().IsAllowed("a@x.com", ""), 0);
    EXPECT_EQ(G().db.conn, nullptr);
}

TEST_F(PolicyDbTest, ListFilesInAccPathThenAppPath) {
    WriteFile(G().AccPath + "Allowed.lst", "first@x.org\r\nacc-only@x.org\r\n");
    WriteFile(G().AppPath + "more.lst", "*@aliased.org\r\n");
    WriteFile(G().AppPath + "Allowed.lst",
              "first@x.org\r\nsecond@x.org\r\nALIAS:" + G().AppPath + "more.lst\r\n");
    WriteFile(G().AppPath + "DisAllowed.lst", "bad@x.org\r\n");
    EXPECT_EQ(shared().IsAllowed("first@x.org", ""), -1);  // found in AccPath: AppPath not read
    EXPECT_EQ(shared().IsAllowed("acc-only@x.org", ""), -1);
    EXPECT_EQ(shared().IsAllowed("x@y.z", "Second@x.org"), -1);
    EXPECT_EQ(shared().IsAllowed("joe@aliased.org", ""), -1);
    EXPECT_EQ(shared().IsAllowed("bad@x.org", ""), 0);
    EXPECT_EQ(shared().IsDisAllowed("bad@x.org", ""), -1);
    EXPECT_EQ(shared().AllowCache(),
              "FIRST@X.ORG\tACC-ONLY@X.ORG\tSECOND@X.ORG\tJOE@ALIASED.ORG\tJOE@ALIASED.ORG\t");
    EXPECT_EQ(shared().DisAllowCache(), "BAD@X.ORG\t");
}

TEST_F(PolicyDbTest, AddingSkipsWhatIsAlreadyListed) {
    Sql("INSERT INTO tbl_allowed (fromaddress, owner) VALUES ('*@partner.net', '')");
    shared().AddAllowed("new@x.org");
    shared().AddAllowed("NEW@x.org");                   // already there, case ignored by the server
    shared().AddAllowed("joe@partner.net");             // covered by a wildcard row
    shared().AddAllowed("new@x.org", "boss@corp.com");  // the owner-less row already covers it
    shared().AddAllowed("own@x.org", "boss@corp.com");
    EXPECT_EQ(One("SELECT GROUP_CONCAT(CONCAT(fromaddress,'/',owner) ORDER BY id) FROM "
                  "tbl_allowed"),
              "*@partner.net/,new@x.org/,own@x.org/boss@corp.com");
    shared().AddDisAllowed("bad@x.org");
    shared().AddDisAllowed("bad@x.org");
    EXPECT_EQ(Count("tbl_disallowed"), 1);
    EXPECT_EQ(shared().IsDisAllowed("bad@x.org", ""), -1);
}

// --- purge -----------------------------------------------------------------

TEST_F(PolicyDbTest, PurgePhases) {
    shared().SetGreyExp(36);
    shared().SetGreyFrame(240);
    const double second = 1.0 / 86400;
    auto row = [&](const char* from, int allowed, double rectime, double lastcontact) {
        Sql("INSERT INTO tbl_greylist (netip, mailfrom, mailto, allowed, rectime, lastcontact) "
            "VALUES ('10.1.2.', '" +
            std::string(from) + "', 'b@corp.com', " + std::to_string(allowed) + ", " +
            DaySerialText(rectime) + ", " + DaySerialText(lastcontact) + ")");
    };
    row("expired", -1, kT0 - 100, kT0 - 36 - second);
    row("alive", -1, kT0 - 100, kT0 - 35);
    row("stale", 0, kT0 - 241 * kMinute, 0);
    row("waiting", 0, kT0 - 239 * kMinute, 0);
    row("allowed-old-rectime", -1, kT0 - 1000 * kMinute, kT0 - 1);
    shared().PurgeDB();
    EXPECT_EQ(One("SELECT GROUP_CONCAT(mailfrom ORDER BY id) FROM tbl_greylist"),
              "alive,waiting,allowed-old-rectime");
    EXPECT_EQ(Count("tbl_minilog"), 0);

    // Phase 1 leaves pending rows alone however old their last contact is.
    shared().SetGreyFrame(32767);
    row("pending-in-long-frame", 0, kT0 - 20, kT0 - 100);
    clock_.SetNow(kT0 + kMinute);
    shared().PurgeDB();
    EXPECT_EQ(Count("tbl_greylist", "mailfrom = 'pending-in-long-frame'"), 1);
}

TEST_F(PolicyDbTest, PurgeRunsAtMostOnceAMinuteAcrossMidnight) {
    shared().SetGreyFrame(1);
    auto addStale = [&] {
        Sql("INSERT INTO tbl_greylist (netip, mailfrom, mailto, allowed, rectime) VALUES "
            "('10.1.2.', 'a', 'b', 0, 1)");
    };
    const double day = 46361;
    const struct {
        const char* label;
        double now;
        bool runs;
    } steps[] = {
        {"00:00:30, first call in the first minute", day + 30.0 / 86400, false},
        {"00:01:00", day + 60.0 / 86400, true},
        {"00:01:30", day + 90.0 / 86400, false},
        {"23:59:50", day + 86390.0 / 86400, true},
        {"00:00:20 next day", day + 1 + 20.0 / 86400, false},
        {"00:00:55 next day", day + 1 + 55.0 / 86400, true},
    };
    for (const auto& s : steps) {
        addStale();
        clock_.SetNow(s.now);
        shared().PurgeDB();
        EXPECT_EQ(Count("tbl_greylist"), s.runs ? 0 : 1) << s.label;
        Sql("DELETE FROM tbl_greylist");
    }
}

// --- the command-line tool -------------------------------------------------

struct ToolRun {
    int status;
    std::string out;
    std::string err;  // the first line of standard error
};

ToolRun RunTool(const std::string& args, const std::string& registry) {
    const std::string errFile = registry + ".stderr";
    const std::string cmd = "BW_REGISTRY='" + registry + "' " + std::string(BW_BINARY_DIR) +
                            "/bwpolicy " + args + " 2>'" + errFile + "'";
    ToolRun r{-1, "", ""};
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) r.out += buf;
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream err(errFile);
    std::getline(err, r.err);
    return r;
}

TEST_F(PolicyDbTest, BwpolicyRunsOneMemberPerCall) {
    const std::string app = "--app-path " + dir_.string() + " --tarn-id 7E57 ";
    const std::string noRegistry = (dir_ / "none.reg").string();
    const struct {
        std::string args;
        int status;
        std::string out;
    } steps[] = {
        {"grey 10.1.2.3 \"o'brien@x.org\" b@corp.com", 0, "0\n"},
        {"grey 10.1.2.3 \"o'brien@x.org\" b@corp.com --grey-frame 240", 0, "3\n"},
        {"grey 10.1.2.77 x y --type VG", 0, "-1\n"},
        {"grey 10.9.9.9 a@x b@y --allowed", 0, "3\n"},
        {"grey 10.9.9.9 a@x b@y --type D", 0, "0\n"},
        {"lockip 10.1.2.3 SD", 0, "0\n"},
        {"lockip 10.1.2.200 VS --iplock-unit 1", 0, "-1\n"},
        {"add-allowed '*@partner.net'", 0, "done\n"},
        {"allowed x@y.z joe@partner.net", 0, "-1\n"},
        {"allowed joe@partner.net --owner boss@corp.com", 0, "-1\n"},
        {"disallowed joe@partner.net", 0, "0\n"},
        {"purge --grey-exp 36", 0, "done\n"},
        {"load-grey", 0, "0 entries\n"},
        // Bad arguments: a clear error and status 2, nothing run.
        {"grey 10.1.2.3 onlyfrom", 2, ""},
        {"lockip 10.1.2.3", 2, ""},
        {"frobnicate", 2, ""},
        {"grey 1.2.3.4 a b --grey-delay 99999", 2, ""},
        {"grey 1.2.3.4 a b --type X", 2, ""},
        {"allowed a@b --bogus 1", 2, ""},
    };
    for (const auto& s : steps) {
        const ToolRun r = RunTool(app + s.args, noRegistry);
        EXPECT_EQ(r.status, s.status) << s.args;
        EXPECT_EQ(r.out, s.out) << s.args;
    }
    // Without a registered application folder, a bad command line is still
    // reported as such; a good one fails on the folder.
    const struct {
        std::string args;
        std::string err;
    } unregistered[] = {
        {"frobnicate", "bwpolicy: unknown command 'frobnicate'"},
        {"lockip 10.1.2.3", "bwpolicy: wrong number of arguments for 'lockip'"},
        {"grey 1.2.3.4 a b --grey-frame 4x",
         "bwpolicy: option --grey-frame needs a whole number from -32768 to 32767, not '4x'"},
        {"grey 1.2.3.4 a b --iplock-unit 32768",
         "bwpolicy: option --iplock-unit needs a whole number from -32768 to 32767, not '32768'"},
        {"purge --type D", "bwpolicy: --type belongs to 'grey'"},
        {"--app-path '' purge", "bwpolicy: option --app-path needs a folder"},
        {"--app-path " + dir_.string() + "/missing purge",
         "bwpolicy: the application folder " + dir_.string() + "/missing/ does not exist"},
        {"grey 1.2.3.4 a b",
         "bwpolicy: no application folder registered in " + noRegistry + ": give --app-path DIR"},
        // Values longer than their column: refused, never "done".
        {"add-allowed " + std::string(300, 'a'),
         "bwpolicy: the address is 300 characters long; tbl_allowed.fromaddress holds at most 255"},
        {"--owner " + std::string(256, 'o') + " add-disallowed x@y",
         "bwpolicy: --owner is 256 characters long; the owner column holds at most 255"},
        {"lockip 1.2." + std::string(70, '3') + ".4 S",
         "bwpolicy: its network is 75 characters long; tbl_lockip.netip holds at most 64"},
    };
    for (const auto& u : unregistered) {
        const ToolRun r = RunTool(u.args, noRegistry);
        EXPECT_EQ(r.status, 2) << u.args;
        EXPECT_EQ(r.err, u.err) << u.args;
        EXPECT_EQ(r.out, "") << u.args;
    }
    // Without options the folder and the identifier come from the settings store.
    const std::string reg = (dir_ / "registry.reg").string();
    WriteFile(reg,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\General]\r\n\"AppPath\"=\"" +
                  dir_.string() +
                  "/\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\TarnIN]\r\n\"TarnID\"=\"7E57\"\r\n");
    EXPECT_EQ(RunTool("grey 10.4.4.4 a@x b@y --allowed", reg).out, "3\n");
    EXPECT_EQ(RunTool("grey 10.4.4.4 a@x b@y --grey-exp 1", reg).out, "3\n");
    EXPECT_EQ(One("SELECT CONCAT(mailfrom,'|',allowed) FROM tbl_greylist"), "o'brien@x.org|-1");
    EXPECT_EQ(One("SELECT locklevel FROM tbl_lockip WHERE netip = '10.1.2.'"), "3");
    EXPECT_EQ(Stat("allowedgrey"), "1");
    EXPECT_EQ(Stat("passedgrey"), "2");  // one of them counted through the stored TarnID
    EXPECT_EQ(Count("tbl_allowed"), 1);
}

// --- the server goes away ------------------------------------------------------

class PolicyOutageTest : public PolicyDbTest {
  protected:
    bool UsesSharedServer() const override { return false; }
};

TEST_F(PolicyOutageTest, ServerDownGivesDocumentedResultsAndWritesNothing) {
    test::PrivateMariaDb server;
    ASSERT_TRUE(server.Start());
    Attach(server.Port());
    WriteFile(G().AppPath + "Allowed.lst", "listed@x.org\r\n");
    WriteFile(G().AppPath + "DisAllowed.lst", "listed@x.org\r\n");
    shared().SetGreyFrame(1);
    ASSERT_EQ(shared().CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 0);
    ASSERT_EQ(shared().IsAllowed("listed@x.org", ""), -1);
    server.Stop();

    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 9);
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "", "", "VG", 0, 0), 9);
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "S"), 0);
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "SD"), 0);
    EXPECT_EQ(shared().IsDisAllowed("listed@x.org", ""), 0);  // list files need the database
    EXPECT_EQ(shared().IsAllowed("listed@x.org", ""), 0);
    shared().AddAllowed("new@x.org");
    shared().AddDisAllowed("new@x.org");
    clock_.SetNow(kT0 + 1);
    shared().PurgeDB();
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 9);
    G().db.conn.reset();  // dropped, as the health check finds it
    EXPECT_EQ(shared().CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 9);
    EXPECT_EQ(shared().CheckLockIP("10.1.2.3", "G"), 0);

    ASSERT_TRUE(server.Start());
    EXPECT_EQ(Count("tbl_greylist"), 1);
    EXPECT_EQ(Count("tbl_lockip"), 0);
    EXPECT_EQ(Count("tbl_allowed") + Count("tbl_disallowed"), 0);
    EXPECT_EQ(Count("tbl_minilog"), 0);
}

}  // namespace
}  // namespace bw
