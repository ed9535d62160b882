// The policy store on a fresh database of the shared private MariaDB (or a
// server of the test's own), with the manual clock, list files in a folder of
// the test's own, and an audit that records what the store counts and logs.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "db/audit.h"
#include "db/connect_string.h"
#include "db/db_session.h"
#include "host/textfile.h"
#include "platform/clock.h"
#include "platform/mariadb.h"
#include "policy/policy_store.h"
#include "tests/support/fake_audit.h"
#include "tests/support/manual_clock.h"
#include "tests/support/mariadb_server.h"
#include "tests/support/recording_db_factory.h"
#include "tests/support/temp_dir.h"

namespace bw::test {

constexpr double kT0 = 46361.5;  // 5 Dec 2026, 12:00
constexpr double kMinute = 60000 / 86400000.0;

class PolicyDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session_.UseConnectStrings(
            {tmp_.Path(), app_, &files_});  // never the test program's folder
        if (UsesSharedServer()) Attach(SharedDbPort());
    }
    void TearDown() override {
        // Every connection the test made (the factory keeps them) is closed
        // before its database goes.
        session_.Recordset().Drop();
        session_.DropConnection();
        ErrorState ignored;
        for (const auto& c : factory_.made) c->Close(ignored);
        if (!db_.empty() && port_ == SharedDbPort()) DropTestDatabase(port_, db_);
    }
    virtual bool UsesSharedServer() const { return true; }

    // A fresh database on that server, its DBConnect.dat, and the session's
    // connection and recordset opened on it as the health check leaves them.
    void Attach(int port) {
        port_ = port;
        db_ = CreateTestDatabase(port_);
        WriteFile(app_ + "DBConnect.dat", ConnString(port_, db_) + "\r\n");
        Sql("INSERT INTO tbl_stats (tarnid) VALUES ('7E57')");
        ErrorState err;
        session_.Connect(ConnString(port_, db_), err);
        ASSERT_FALSE(err.Failed()) << err.description;
    }

    void Sql(const std::string& sql) { Exec(port_, db_, sql); }
    std::string One(const std::string& sql) { return Scalar(port_, db_, sql); }
    int Count(const std::string& table, const std::string& where = "1") {
        return std::stoi(One("SELECT COUNT(*) FROM " + table + " WHERE " + where));
    }
    double Num(const std::string& sql) { return std::stod(One(sql)); }

    TempDir tmp_{"bw_policy"};
    const std::string app_ = tmp_.Path() + "/";
    ManualClock clock_{kT0};
    RecordingDbFactory factory_;  // sees the connections the session holds
    DbSession session_{factory_};
    const std::string acc_ = app_ + "TarnIN/";
    SettingsFiles files_{app_, acc_, {}};
    FakeAudit audit_;
    PolicyStore store_{session_, clock_, audit_, files_, {app_, acc_}};
    int port_ = 0;
    std::string db_;
};

}  // namespace bw::test
