// A test world for the database subsystem: a manual clock and loop, a fake
// event log, the real MariaDB client (recording the connections it makes), the
// session, the audit spool, the health check on the main window's two timers,
// the audit of installation "T1", connection-string files in a folder of their own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/audit_spool.h"
#include "db/db_audit.h"
#include "db/db_session.h"
#include "db/health_check.h"
#include "platform/clock.h"
#include "platform/loop.h"
#include "platform/mariadb.h"
#include "platform/service.h"
#include "tests/support/fake_service.h"
#include "tests/support/manual_clock.h"
#include "tests/support/mariadb_server.h"
#include "tests/support/recording_db_factory.h"
#include "tests/support/temp_dir.h"

namespace bw::test {

class DbEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(dir_ + "/exe");
        db_.UseConnectStrings({dir_ + "/exe", dir_ + "/"});
        ASSERT_FALSE(spool_.Open(State(), service_).Failed());
    }
    void TearDown() override {
        for (const auto& d : dbs_) DropTestDatabase(port_, d);
        spool_.Close();
    }

    std::string State() const { return dir_ + "/state"; }
    /// A fresh database on the shared server, dropped when the test ends.
    std::string NewDb(bool withSchema = true) {
        return dbs_.emplace_back(CreateTestDatabase(port_, withSchema));
    }
    /// A primary (suffix "") or alternative connection-string file in the application folder.
    void SetConnect(const std::string& suffix, const std::string& cs) {
        WriteFile(dir_ + "/DBConnect" + suffix + ".dat", cs + "\r\n");
    }
    /// A string that no server answers (port 1 on loopback: refused at once).
    static std::string Unreachable(const std::string& tag) { return ConnString(1, tag); }
    /// The primary on `db` of the server at `port`, connected by one tick.
    void Connect(int port, const std::string& db) {
        SetConnect("", ConnString(port, db));
        Tick();
        ASSERT_TRUE(db_.IsOpen());
    }

    int Journal(const std::string& part) const {
        int n = 0;
        for (const auto& e : service_.events) n += e.text.find(part) != std::string::npos;
        return n;
    }
    int Restores() const { return service_.Count("Restored lost DB Connection!"); }
    std::string CurrentString() const { return db_.ConnectionString().value_or("<empty>"); }
    /// The session's connection (see RecordingDbFactory), e.g. to close it
    /// under the session as a server going away would.
    DbConnection& Current() { return *factory_.made.back(); }
    /// The last recordset made (the shared one, unless a reading made one
    /// since) is bound to the session's connection.
    bool RecordsetOnCurrent() const {
        return !factory_.recordsets.empty() && !factory_.made.empty() &&
               factory_.recordsets.back()->ActiveConnection() == factory_.made.back();
    }
    /// Moves virtual time on by one health-check tick.
    void Tick(int n = 1) { loop_.Advance(1000LL * n); }

    TempDir tmp_{"bwdbtest"};
    const std::string dir_ = tmp_.Path();
    ManualClock clock_;
    Loop loop_{clock_};
    FakeService service_;
    RecordingDbFactory factory_;
    DbSession db_{factory_};
    AuditSpool spool_;
    Timer tmrBackupDB_{loop_, 5000, false, [this] { health_.tmrBackupDB_Timer(); }};
    HealthCheck health_{db_, spool_, clock_, service_,
                        [this](bool on) { tmrBackupDB_.SetEnabled(on); }};
    Timer dbCheckTimer_{loop_, 1000, true, [this] { health_.tmrDBCheck_Timer(); }};
    // What the database thread does when records are spooled, done at once.
    DbAudit audit_{spool_, clock_, "T1", [this] {
                       if (db_.IsOpen()) spool_.Replay(db_);
                   }};
    const int port_ = SharedDbPort();
    std::vector<std::string> dbs_;
};

}  // namespace bw::test
