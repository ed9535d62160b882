// A test world for the database subsystem: fresh globals on a manual clock
// and loop, a FakeService for the event log, the real MariaDB client (with a
// record of every connection it creates), the main window's two database
// timers, temporary folders for AppPath and the executable's folder, and the
// audit spool in AppPath "state".
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "db/audit_spool.h"
#include "db/connect_string.h"
#include "db/health_check.h"
#include "db/shared_main.h"
#include "host/globals.h"
#include "platform/clock.h"
#include "platform/loop.h"
#include "platform/mariadb.h"
#include "platform/service.h"
#include "tests/support/mariadb_server.h"

namespace bw::test {

/// The real factory, remembering every connection it made (in the health
/// check each new connection is opened once, so this is the list of tries).
class RecordingDbFactory final : public DbFactory {
  public:
    std::shared_ptr<DbConnection> NewConnection() override {
        auto c = real_.NewConnection();
        made.push_back(c);
        return c;
    }
    std::shared_ptr<DbRecordset> NewRecordset() override { return real_.NewRecordset(); }

    std::vector<std::string> Strings() const {
        std::vector<std::string> out;
        for (const auto& c : made) out.push_back(c->ConnectionString());
        return out;
    }

    std::vector<std::shared_ptr<DbConnection>> made;

  private:
    MariaDbFactory real_;
};

class DbEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetGlobals();
        ResetHealthCheck();
        appDir_ = MakeTempDir();
        exeDir_ = MakeTempDir();
        SetDBConnectExeFolder(exeDir_);
        loop_ = std::make_unique<Loop>(clock_);
        Globals& g = G();
        g.AppPath = appDir_ + "/";
        g.clock = &clock_;
        g.loop = loop_.get();
        g.service = &service_;
        g.db.factory = &factory_;
        tmrDBCheck_ = std::make_unique<Timer>(*loop_, 1000, true, [] { tmrDBCheck_Timer(); });
        tmrBackupDB_ = std::make_unique<Timer>(*loop_, 5000, false, [] { tmrBackupDB_Timer(); });
        g.tmrDBCheck = tmrDBCheck_.get();
        g.tmrBackupDB = tmrBackupDB_.get();
        g.oShared = std::make_unique<clsSharedMain>();
        // The spool of the state folder, as the daemon has it.
        ASSERT_FALSE(OpenAuditSpool(appDir_ + "/state").Failed());
    }

    void TearDown() override {
        CloseAuditSpool();
        ResetGlobals();
        tmrDBCheck_.reset();
        tmrBackupDB_.reset();
        loop_.reset();
        SetDBConnectExeFolder("");
        std::error_code ec;
        std::filesystem::remove_all(appDir_, ec);
        std::filesystem::remove_all(exeDir_, ec);
    }

    static std::string MakeTempDir() {
        char tmpl[] = "/tmp/bwdbtest.XXXXXX";
        return mkdtemp(tmpl);
    }
    static void WriteFile(const std::string& dir, const std::string& name,
                          const std::string& content) {
        std::ofstream(dir + "/" + name, std::ios::binary) << content;
    }
    /// A primary (suffix "") or alternative connection-string file in AppPath.
    void SetConnect(const std::string& suffix, const std::string& cs) {
        WriteFile(appDir_, "DBConnect" + suffix + ".dat", cs + "\r\n");
    }
    /// A string that no server answers (port 1 on loopback: refused at once).
    static std::string Unreachable(const std::string& tag) { return ConnString(1, tag); }

    int Restores() const { return service_.Count("Restored lost DB Connection!"); }
    bool Open() const { return G().db.conn && G().db.conn->State() == 1; }
    std::string CurrentString() const {
        return G().db.conn ? G().db.conn->ConnectionString() : std::string("<empty>");
    }
    /// Moves virtual time on by one health-check tick.
    void Tick(int n = 1) { loop_->Advance(1000LL * n); }

    ManualClock clock_;
    std::unique_ptr<Loop> loop_;
    FakeService service_;
    RecordingDbFactory factory_;
    std::unique_ptr<Timer> tmrDBCheck_;
    std::unique_ptr<Timer> tmrBackupDB_;
    std::string appDir_;
    std::string exeDir_;
};

}  // namespace bw::test
