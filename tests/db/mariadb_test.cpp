// The MariaDB client layer against a real private server.
#include "platform/mariadb.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "tests/support/mariadb_server.h"

namespace bw {
namespace {

using test::ConnString;
using test::Query;
using test::Scalar;

TEST(ConnectionStringTest, KeysAliasesAndBraces) {
    struct Case {
        const char* label;
        std::string text;
        std::string host;
        unsigned port;
        std::string db;
        std::string user;
        std::string pwd;
        std::string socket;
        bool bad;
    };
    const Case cases[] = {
        {"odbc form",
         "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;PORT=3306;DATABASE=brimwarden;UID=bw;"
         "PWD=secret;OPTION=3",
         "127.0.0.1", 3306, "brimwarden", "bw", "secret", "", false},
        {"ado aliases, any case",
         "Provider=MSDASQL;data source=db.lan;Initial Catalog=gw;User ID=a;password=b", "db.lan", 0,
         "gw", "a", "b", "", false},
        {"host/db/user", "host=h;db=d;user=u;socket=/run/mysqld/mysqld.sock", "h", 0, "d", "u", "",
         "/run/mysqld/mysqld.sock", false},
        {"braces keep ; and }}", "PWD={a;b}}c};UID=x", "", 0, "", "x", "a;b}c", "", false},
        {"blanks around keys and values", " SERVER = h1 ; PORT = 33 ;", "h1", 33, "", "", "", "",
         false},
        {"unknown keys and pieces without =", "FOO=1;junk;SERVER=h", "h", 0, "", "", "", "", false},
        {"empty string", "", "", 0, "", "", "", "", false},
        {"bad port", "SERVER=h;PORT=33x", "h", 0, "", "", "", "", true},
        {"unclosed brace", "PWD={abc", "", 0, "", "", "abc", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const DbConnectParams p = ParseConnectionString(c.text);
        EXPECT_EQ(p.host, c.host);
        if (!c.bad) {
            EXPECT_EQ(p.port, c.port);
        }
        EXPECT_EQ(p.database, c.db);
        EXPECT_EQ(p.user, c.user);
        EXPECT_EQ(p.password, c.pwd);
        EXPECT_EQ(p.socket, c.socket);
        EXPECT_EQ(!p.error.empty(), c.bad) << p.error;
    }
}

class MariaDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = test::SharedDbPort();
        ASSERT_NE(port_, 0);
        db_ = test::CreateTestDatabase(port_);
        conn_ = factory_.NewConnection();
        conn_->SetConnectionString(ConnString(port_, db_));
        ErrorState err;
        conn_->Open(err);
        ASSERT_FALSE(err.Failed()) << err.description;
    }
    void TearDown() override { test::DropTestDatabase(port_, db_); }

    std::shared_ptr<DbRecordset> OpenRs(const std::string& sql) {
        auto rs = factory_.NewRecordset();
        ErrorState err;
        rs->SetActiveConnection(conn_, err);
        rs->SetSource(sql);
        rs->Open(err);
        EXPECT_FALSE(err.Failed()) << err.description;
        return rs;
    }

    MariaDbFactory factory_;
    int port_ = 0;
    std::string db_;
    std::shared_ptr<DbConnection> conn_;
};

TEST_F(MariaDbTest, ConnectionOpenCloseFollowsTheObjectRules) {
    EXPECT_EQ(conn_->State(), 1);
    EXPECT_EQ(conn_->ConnectionTimeout(), 15);
    ErrorState err;
    conn_->Open(err);  // already open
    EXPECT_TRUE(err.Failed());
    EXPECT_EQ(conn_->State(), 1);

    err.Clear();
    conn_->Execute("SELECT * FROM tbl_stats LIMIT 1", err);
    EXPECT_FALSE(err.Failed()) << err.description;
    conn_->Execute("SELECT * FROM no_such_table", err);
    EXPECT_TRUE(err.Failed());
    EXPECT_EQ(err.number, 1146);
    EXPECT_EQ(conn_->State(), 1) << "an SQL error is no lost connection";

    err.Clear();
    auto bound = factory_.NewRecordset();
    bound->SetActiveConnection(conn_, err);
    EXPECT_FALSE(err.Failed());
    conn_->Close(err);
    EXPECT_FALSE(err.Failed());
    EXPECT_EQ(conn_->State(), 0);
    conn_->Close(err);
    EXPECT_TRUE(err.Failed()) << "closing a closed connection raises an error";

    // A closed connection (or none) serves no statement, recordset or command.
    const auto fails = [](const std::function<void(ErrorState&)>& step) {
        ErrorState e;
        step(e);
        return e.Failed();
    };
    EXPECT_TRUE(fails([&](ErrorState& e) { conn_->Execute("SELECT 1", e); }));
    bound->SetSource("SELECT 1");
    EXPECT_TRUE(fails([&](ErrorState& e) { bound->Open(e); })) << "bound while it was open";
    EXPECT_FALSE(bound->IsOpen());
    auto rs = factory_.NewRecordset();
    EXPECT_TRUE(fails([&](ErrorState& e) { rs->SetActiveConnection(nullptr, e); }));
    EXPECT_TRUE(fails([&](ErrorState& e) { rs->SetActiveConnection(conn_, e); }));
    EXPECT_EQ(rs->ActiveConnection(), nullptr);
    rs->SetSource("SELECT 1");
    EXPECT_TRUE(fails([&](ErrorState& e) { rs->Open(e); }));
    DbCommand cmd;
    EXPECT_TRUE(fails([&](ErrorState& e) { cmd.SetActiveConnection(conn_, e); }));

    // The same object opens again with the string it has.
    err.Clear();
    conn_->Open(err);
    EXPECT_FALSE(err.Failed()) << err.description;
    EXPECT_EQ(conn_->State(), 1);
}

TEST_F(MariaDbTest, OpenFailuresShowInTheErrorStateOnly) {
    const std::string strings[] = {
        ConnString(test::FreeLocalPort(), db_),  // nobody listens
        ConnString(port_, db_, "bw", "wrong"),   // refused login
        ConnString(port_, "no_such_db"),
        "SERVER=127.0.0.1;PORT=12x",
    };
    for (const auto& s : strings) {
        SCOPED_TRACE(s);
        auto c = factory_.NewConnection();
        c->SetConnectionString(s);
        ErrorState err;
        c->Open(err);
        EXPECT_TRUE(err.Failed());
        EXPECT_FALSE(err.description.empty());
        EXPECT_EQ(c->State(), 0);
    }
}

TEST_F(MariaDbTest, ConnectionTimeoutBoundsASilentServer) {
    // A listener that accepts TCP but never greets: the open must give up.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(s, 4), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
    auto c = factory_.NewConnection();
    c->SetConnectionTimeout(1);
    c->SetConnectionString(ConnString(ntohs(a.sin_port), db_));
    ErrorState err;
    const auto t0 = std::chrono::steady_clock::now();
    c->Open(err);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(err.Failed());
    EXPECT_EQ(c->State(), 0);
    // Given up after the connection timeout, not after the 30 s read timeout.
    EXPECT_LT(waited, std::chrono::seconds(10));
    close(s);
}

TEST_F(MariaDbTest, ReadTimeoutBoundsAStatementTheServerNeverAnswers) {
    // The server holds each statement for 4 s; the client waits 1 s at most.
    MariaDbFactory impatient(1);
    for (bool viaRecordset : {false, true}) {
        SCOPED_TRACE(viaRecordset ? "recordset open" : "execute");
        auto c = impatient.NewConnection();
        c->SetConnectionString(ConnString(port_, db_));
        ErrorState err;
        c->Open(err);
        ASSERT_EQ(c->State(), 1) << err.description;
        const std::string sql = "SELECT SLEEP(4) AS s";
        const auto t0 = std::chrono::steady_clock::now();
        if (viaRecordset) {
            auto rs = impatient.NewRecordset();
            rs->SetActiveConnection(c, err);
            rs->SetSource(sql);
            rs->Open(err);
            EXPECT_FALSE(rs->IsOpen());
        } else {
            c->Execute(sql, err);
        }
        const auto waited = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(err.number, 2013) << err.description;
        EXPECT_EQ(c->State(), 0) << "a timed-out session counts as lost";
        EXPECT_LT(waited, std::chrono::milliseconds(3500));
    }
}

TEST_F(MariaDbTest, EscapingKeepsQuotesAndBackslashesAsTheyAre) {
    const std::string nasty = "o'brien\\\"x\"@exa'mple.com\\";
    ErrorState err;
    conn_->Execute(
        "INSERT INTO tbl_allowed (fromaddress, owner) VALUES ('" + conn_->Escape(nasty) + "', '')",
        err);
    ASSERT_FALSE(err.Failed()) << err.description;
    EXPECT_EQ(Scalar(port_, db_, "SELECT fromaddress FROM tbl_allowed"), nasty);
    auto rs =
        OpenRs("SELECT * FROM tbl_allowed WHERE fromaddress = '" + conn_->Escape(nasty) + "'");
    EXPECT_EQ(rs->RecordCount(), 1);
    EXPECT_EQ(EscapeSqlOffline(nasty), conn_->Escape(nasty));
}

TEST_F(MariaDbTest, RecordsetReadsBufferedRowsByName) {
    test::Exec(
        port_, db_,
        "INSERT INTO tbl_lockip (netip, numspam, lastspam) VALUES ('10.1.2.', 3, 39267.5625),"
        "('10.1.3.', 1, 0)");
    auto rs = factory_.NewRecordset();
    EXPECT_EQ(rs->RecordCount(), -1);
    EXPECT_TRUE(rs->Eof());
    rs = OpenRs("SELECT netip, NumSpam, lastspam, NULL AS nothing FROM tbl_lockip ORDER BY netip");
    ASSERT_TRUE(rs->IsOpen());
    EXPECT_EQ(rs->RecordCount(), 2);
    ErrorState err;
    rs->MoveFirst(err);
    EXPECT_EQ(rs->Field("NETIP", err), "10.1.2.");
    EXPECT_EQ(rs->Field("numspam", err), "3");
    EXPECT_EQ(rs->Field("lastspam", err), "39267.5625");
    EXPECT_EQ(rs->Field("nothing", err), std::nullopt);
    EXPECT_FALSE(err.Failed()) << err.description;
    rs->Field("no_such_column", err);
    EXPECT_EQ(err.number, 3265);
    err.Clear();
    rs->MoveNext(err);
    EXPECT_EQ(rs->Field("netip", err), "10.1.3.");
    rs->MoveNext(err);
    EXPECT_TRUE(rs->Eof());
    EXPECT_FALSE(err.Failed());
    rs->Field("netip", err);
    EXPECT_EQ(err.number, 3021) << "no current row at the end";
    err.Clear();
    rs->MoveNext(err);
    EXPECT_TRUE(err.Failed()) << "moving past the end";

    err.Clear();
    rs->Open(err);
    EXPECT_TRUE(err.Failed()) << "opening an open recordset";
    err.Clear();
    rs->Close(err);
    EXPECT_FALSE(err.Failed());
    rs->Close(err);
    EXPECT_TRUE(err.Failed()) << "closing a closed recordset";
    EXPECT_EQ(rs->RecordCount(), -1);
}

TEST_F(MariaDbTest, AddNewUpdateAndDeleteStoreRowsById) {
    auto rs = OpenRs("SELECT * FROM tbl_greylist LIMIT 1");
    ErrorState err;
    EXPECT_EQ(rs->RecordCount(), 0);
    rs->MoveFirst(err);
    EXPECT_TRUE(err.Failed()) << "no first row in an empty result";
    err.Clear();
    for (const char* from : {"a'b@x", "c\\d@y"}) {
        rs->AddNew(err);
        rs->SetField("netip", std::string("10.1.2."), err);
        rs->SetField("mailfrom", std::string(from), err);
        rs->SetField("rectime", std::string("39267.5625"), err);
        rs->Update(err);
    }
    ASSERT_FALSE(err.Failed()) << err.description;
    EXPECT_EQ(rs->RecordCount(), 2);
    EXPECT_FALSE(rs->Field("id", err).value_or("").empty()) << "the new id is known";
    rs->Close(err);
    // Columns not written keep the table's defaults.
    auto rows = Query(
        port_, db_, "SELECT mailfrom, rectime, allowed, earlycount FROM tbl_greylist ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "a'b@x");
    EXPECT_EQ(rows[1][0], "c\\d@y");
    EXPECT_EQ(rows[0][1], "39267.5625");
    EXPECT_EQ(rows[0][2], "0");
    EXPECT_EQ(rows[0][3], "0");

    // Change the second row, delete the first; the other row is untouched.
    rs = OpenRs("SELECT * FROM tbl_greylist ORDER BY id");
    rs->MoveFirst(err);
    rs->MoveNext(err);
    rs->SetField("allowed", std::string("-1"), err);
    rs->SetField("earlycount", std::string("4"), err);
    rs->Update(err);
    rs->MoveFirst(err);
    rs->Delete(err);
    ASSERT_FALSE(err.Failed()) << err.description;
    EXPECT_EQ(rs->RecordCount(), 1);
    rs->Close(err);
    rows = Query(port_, db_, "SELECT mailfrom, allowed, earlycount FROM tbl_greylist");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "c\\d@y");
    EXPECT_EQ(rows[0][1], "-1");
    EXPECT_EQ(rows[0][2], "4");
}

TEST_F(MariaDbTest, RowsThatCannotBeIdentifiedAreNotStored) {
    test::Exec(port_, db_, "INSERT INTO tbl_stats (tarnid) VALUES ('A')");
    ErrorState err;
    // No id column in the result: the change is refused and undone.
    auto rs = OpenRs("SELECT tarnid, delivered FROM tbl_stats");
    rs->SetField("delivered", std::string("7"), err);
    rs->Update(err);
    EXPECT_EQ(err.number, 3251);
    err.Clear();
    EXPECT_EQ(rs->Field("delivered", err), "0");
    rs->Close(err);
    // A value the server refuses: the new row is not kept.
    rs = OpenRs("SELECT * FROM tbl_stats");
    rs->AddNew(err);
    rs->SetField("delivered", std::string("not a number"), err);
    rs->Update(err);
    EXPECT_TRUE(err.Failed());
    EXPECT_EQ(rs->RecordCount(), 1);
    EXPECT_EQ(Scalar(port_, db_, "SELECT COUNT(*) FROM tbl_stats"), "1");
    EXPECT_EQ(Scalar(port_, db_, "SELECT delivered FROM tbl_stats"), "0");
}

}  // namespace
}  // namespace bw
