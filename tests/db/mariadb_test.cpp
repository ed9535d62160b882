// The MariaDB client layer against a real private server.
#include "platform/mariadb.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "tests/support/mariadb_server.h"
#include "tests/support/peer_connection.h"

namespace bw::test {
namespace {

// The error one step leaves in a fresh error state.
ErrorState ErrorOf(const std::function<void(ErrorState&)>& step) {
    ErrorState e;
    step(e);
    return e;
}

// A parsed connection string as "user:password@host:port/database socket",
// the port "?" and " refused" at the end when the string cannot be used.
std::string Parts(const DbConnectParams& p) {
    const std::string port = p.error.empty() ? std::to_string(p.port) : "?";
    return p.user + ":" + p.password + "@" + p.host + ":" + port + "/" + p.database + " " +
           p.socket + (p.error.empty() ? "" : " refused");
}

TEST(ConnectionStringTest, KeysAliasesAndBraces) {
    const struct {
        const char* text;
        const char* parts;
    } cases[] = {
        {"DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;PORT=3306;DATABASE=brimwarden;UID=bw;"
         "PWD=secret;OPTION=3",
         "bw:secret@127.0.0.1:3306/brimwarden "},
        {"Provider=MSDASQL;data source=db.lan;Initial Catalog=gw;User ID=a;password=b",
         "a:b@db.lan:0/gw "},
        {"host=h;db=d;user=u;socket=/run/mysqld/mysqld.sock", "u:@h:0/d /run/mysqld/mysqld.sock"},
        {"PWD={a;b}}c};UID=x", "x:a;b}c@:0/ "},
        {" SERVER = h1 ; PORT = 33 ;", ":@h1:33/ "},
        {"FOO=1;junk;SERVER=h", ":@h:0/ "},
        {"", ":@:0/ "},
        {"SERVER=h;PORT=33x", ":@h:?/  refused"},
        {"PWD={abc", ":abc@:?/  refused"},
    };
    for (const auto& c : cases) EXPECT_EQ(Parts(ParseConnectionString(c.text)), c.parts) << c.text;
}

class MariaDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        db_ = CreateTestDatabase(port_);
        conn_ = factory_.NewConnection();
        conn_->SetConnectionString(ConnString(port_, db_));
        ErrorState err;
        conn_->Open(err);
        ASSERT_FALSE(err.Failed()) << err.description;
    }
    void TearDown() override { DropTestDatabase(port_, db_); }

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
    const int port_ = SharedDbPort();
    std::string db_;
    std::shared_ptr<DbConnection> conn_;
};

TEST_F(MariaDbTest, ConnectionOpenCloseFollowsTheObjectRules) {
    EXPECT_EQ(conn_->State(), 1);
    EXPECT_EQ(conn_->ConnectionTimeout(), 15);
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { conn_->Open(e); }).Failed()) << "already open";
    EXPECT_EQ(conn_->State(), 1);
    ErrorState err = ErrorOf([&](ErrorState& e) { conn_->Execute("SELECT * FROM tbl_stats", e); });
    EXPECT_FALSE(err.Failed()) << err.description;
    EXPECT_EQ(
        ErrorOf([&](ErrorState& e) { conn_->Execute("SELECT * FROM no_such_table", e); }).number,
        1146);
    EXPECT_EQ(conn_->State(), 1) << "an SQL error is no lost connection";

    auto bound = factory_.NewRecordset();
    bound->SetActiveConnection(conn_, err);
    conn_->Close(err);
    EXPECT_FALSE(err.Failed());
    EXPECT_EQ(conn_->State(), 0);
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { conn_->Close(e); }).Failed()) << "closed twice";

    // A closed connection (or none) serves no statement, recordset or command.
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { conn_->Execute("SELECT 1", e); }).Failed());
    bound->SetSource("SELECT 1");
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { bound->Open(e); }).Failed()) << "bound while open";
    EXPECT_FALSE(bound->IsOpen());
    auto rs = factory_.NewRecordset();
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { rs->SetActiveConnection(nullptr, e); }).Failed());
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { rs->SetActiveConnection(conn_, e); }).Failed());
    EXPECT_EQ(rs->ActiveConnection(), nullptr);
    rs->SetSource("SELECT 1");
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { rs->Open(e); }).Failed());
    DbCommand cmd;
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { cmd.SetActiveConnection(conn_, e); }).Failed());

    // The same object opens again with the string it has.
    err = ErrorOf([&](ErrorState& e) { conn_->Open(e); });
    EXPECT_FALSE(err.Failed()) << err.description;
    EXPECT_EQ(conn_->State(), 1);
}

TEST_F(MariaDbTest, OpenFailuresShowInTheErrorStateOnly) {
    const std::string strings[] = {
        ConnString(FreeLocalPort(), db_),       // nobody listens
        ConnString(port_, db_, "bw", "wrong"),  // refused login
        ConnString(port_, "no_such_db"),
        "SERVER=127.0.0.1;PORT=12x",
    };
    for (const auto& s : strings) {
        SCOPED_TRACE(s);
        auto c = factory_.NewConnection();
        c->SetConnectionString(s);
        const ErrorState err = ErrorOf([&](ErrorState& e) { c->Open(e); });
        EXPECT_TRUE(err.Failed());
        EXPECT_FALSE(err.description.empty());
        EXPECT_EQ(c->State(), 0);
    }
}

TEST_F(MariaDbTest, ConnectionTimeoutBoundsASilentServer) {
    // A listener that accepts TCP but never greets: the open must give up.
    int port = 0;
    const int s = ListenOnLoopback(port);
    ASSERT_GE(s, 0);
    auto c = factory_.NewConnection();
    c->SetConnectionTimeout(1);
    c->SetConnectionString(ConnString(port, db_));
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
        if (viaRecordset) {
            auto rs = impatient.NewRecordset();
            rs->SetActiveConnection(c, err);
            rs->SetSource(sql);
            rs->Open(err);
            EXPECT_FALSE(rs->IsOpen());
        } else {
            c->Execute(sql, err);
        }
        EXPECT_EQ(err.number, 2013) << err.description;
        EXPECT_EQ(c->State(), 0) << "a timed-out session counts as lost";
    }
}

TEST_F(MariaDbTest, RecordsetReadsBufferedRowsByName) {
    Exec(port_, db_,
         "INSERT INTO tbl_lockip (netip, numspam, lastspam) VALUES ('10.1.2.', 3, 39267.5625),"
         "('10.1.3.', 1, 0)");
    auto rs =
        OpenRs("SELECT netip, NumSpam, lastspam, NULL AS nothing FROM tbl_lockip ORDER BY netip");
    ASSERT_TRUE(rs->IsOpen());
    EXPECT_EQ(rs->RecordCount(), 2);
    ErrorState err;
    rs->MoveFirst(err);
    EXPECT_EQ(rs->Field("NETIP", err), "10.1.2.");
    EXPECT_EQ(rs->Field("numspam", err), "3");
    EXPECT_EQ(rs->Field("lastspam", err), "39267.5625");
    EXPECT_EQ(rs->Field("nothing", err), std::nullopt);
    EXPECT_FALSE(err.Failed()) << err.description;
    EXPECT_EQ(ErrorOf([&](ErrorState& e) { rs->Field("no_such_column", e); }).number, 3265);
    rs->MoveNext(err);
    EXPECT_EQ(rs->Field("netip", err), "10.1.3.");
    rs->MoveNext(err);
    EXPECT_TRUE(rs->Eof());
    EXPECT_FALSE(err.Failed());
    EXPECT_EQ(ErrorOf([&](ErrorState& e) { rs->Field("netip", e); }).number, 3021) << "at the end";
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { rs->MoveNext(e); }).Failed()) << "past the end";
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { rs->Open(e); }).Failed()) << "opened twice";
    rs->Close(err);
    EXPECT_FALSE(err.Failed());
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { rs->Close(e); }).Failed()) << "closed twice";
    EXPECT_EQ(rs->RecordCount(), -1);
    EXPECT_TRUE(rs->Eof());
}

TEST_F(MariaDbTest, AddNewUpdateAndDeleteStoreRowsById) {
    auto rs = OpenRs("SELECT * FROM tbl_greylist LIMIT 1");
    ErrorState err;
    EXPECT_EQ(rs->RecordCount(), 0);
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { rs->MoveFirst(e); }).Failed()) << "empty result";
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
    EXPECT_EQ(
        Query(port_, db_,
              "SELECT mailfrom, rectime, allowed, earlycount FROM tbl_greylist ORDER BY id"),
        (std::vector<Row>{{"a'b@x", "39267.5625", "0", "0"}, {"c\\d@y", "39267.5625", "0", "0"}}));

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
    EXPECT_EQ(Query(port_, db_, "SELECT mailfrom, allowed, earlycount FROM tbl_greylist"),
              (std::vector<Row>{{"c\\d@y", "-1", "4"}}));
}

TEST_F(MariaDbTest, RowsThatCannotBeIdentifiedAreNotStored) {
    Exec(port_, db_, "INSERT INTO tbl_stats (tarnid) VALUES ('A')");
    ErrorState err;
    // No id column in the result: the change is refused and undone.
    auto rs = OpenRs("SELECT tarnid, delivered FROM tbl_stats");
    rs->SetField("delivered", std::string("7"), err);
    EXPECT_EQ(ErrorOf([&](ErrorState& e) { rs->Update(e); }).number, 3251);
    EXPECT_EQ(rs->Field("delivered", err), "0");
    rs->Close(err);
    // A value the server refuses: the new row is not kept.
    rs = OpenRs("SELECT * FROM tbl_stats");
    rs->AddNew(err);
    rs->SetField("delivered", std::string("not a number"), err);
    EXPECT_TRUE(ErrorOf([&](ErrorState& e) { rs->Update(e); }).Failed());
    EXPECT_EQ(rs->RecordCount(), 1);
    EXPECT_EQ(Scalar(port_, db_, "SELECT COUNT(*) FROM tbl_stats"), "1");
    EXPECT_EQ(Scalar(port_, db_, "SELECT delivered FROM tbl_stats"), "0");
}

}  // namespace
}  // namespace bw::test
