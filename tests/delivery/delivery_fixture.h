// In-process set-up for delivery tests: a manual clock and a loop, the
// delivery of a fresh installation in a temporary application folder, queue
// pairs written on request, and the minilog records of unloaded windows
// collected. By default real sockets and a database of its own on the private
// MariaDB (with the health check running as in the daemon); a test class that
// sets fake_ gets the fake server and the fake audit instead, and no database.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/audit_spool.h"
#include "db/connect_string.h"
#include "db/db_audit.h"
#include "db/db_session.h"
#include "db/health_check.h"
#include "delivery/delivery.h"
#include "delivery/smtp_client.h"
#include "platform/clock.h"
#include "platform/db.h"
#include "platform/loop.h"
#include "platform/mariadb.h"
#include "platform/queue_files.h"
#include "platform/service.h"
#include "tests/support/fake_audit.h"
#include "tests/support/fake_service.h"
#include "tests/support/fake_socket.h"
#include "tests/support/manual_clock.h"
#include "tests/support/mariadb_server.h"

namespace bw::test {

struct Outcome {
    tMinLog record;
    std::string name;
};

class DeliveryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock_ = std::make_unique<ManualClock>();
        loop_ = std::make_unique<Loop>(*clock_);
        char tmpl[] = "/tmp/bwdeliv.XXXXXX";
        root_ = ::mkdtemp(tmpl);
        const std::string app = root_ + "/";
        for (const char* d : {"TarnIN/Inbox", "TarnIN/Outbox", "TarnIN/Trash", "Logs"}) {
            std::filesystem::create_directories(app + d);
        }
        queueTimer_ = std::make_unique<Timer>(*loop_, 5000, false);
        if (fake_) {
            socketFactory_ = FakeSocketMaker(*loop_, server_);
            Restart();
            return;
        }
        // The database: DBConnect.dat in AppPath, connected by the health check.
        exeDir_ = root_ + "/exe";
        std::filesystem::create_directories(exeDir_);
        session_.connectStrings = {exeDir_, app};
        ASSERT_FALSE(spool_.Open(root_ + "/state", service_).Failed());
        audit_ = std::make_unique<DbAudit>(session_, spool_, *clock_, "1A2B");
        health_ = std::make_unique<HealthCheck>(session_, spool_, *clock_, service_, nullptr);
        dbPort_ = SharedDbPort();
        db_ = CreateTestDatabase(dbPort_);
        Exec(dbPort_, db_, "INSERT INTO tbl_stats (tarnid) VALUES ('1A2B')");
        std::ofstream(app + "DBConnect.dat", std::ios::binary)
            << ConnString(dbPort_, db_) << "\r\n";
        health_->tmrDBCheck_Timer();
        EXPECT_TRUE(session_.conn) << "no database connection";
        dbTimer_ =
            std::make_unique<Timer>(*loop_, 1000, true, [this] { health_->tmrDBCheck_Timer(); });
        Restart();
    }

    /// A new delivery (dispatcher, sent record read again), as after a restart.
    void Restart() {
        DeliverySettings kept = delivery_ ? delivery_->settings : DeliverySettings{};
        if (!delivery_) {
            kept.appPath = root_ + "/";
            kept.sessionLog = true;
            kept.forwardedList = "\t";
        }
        delivery_.reset();
        Audit& audit = fake_ ? static_cast<Audit&>(fakeAudit_) : *audit_;
        const bool fake = fake_;
        delivery_ = std::make_unique<Delivery>(
            *clock_, *loop_, &service_, audit, root_ + "/state/sent-pairs", active_,
            [this, fake] { return fake || static_cast<bool>(session_.conn); }, queueTimer_.get(),
            socketFactory_);
        delivery_->settings = kept;
        settings_ = &delivery_->settings;
        queueTimer_->SetHandler([this] { delivery_->dispatcher.tmrQueue_Timer(); });
        Windows().SetUnloadObserver([this](const tMinLog& r, const std::string& name) {
            outcomes_.push_back({r, name});
        });
    }
    DeliveryWindows& Windows() { return delivery_->dispatcher.Windows(); }
    DeliverySettings& S() { return *settings_; }
    void Scan() { delivery_->dispatcher.tmrQueue_Timer(); }

    void TearDown() override {
        delivery_.reset();
        queueTimer_.reset();
        dbTimer_.reset();
        health_.reset();
        audit_.reset();
        spool_.Close();
        session_.rs.reset();
        session_.conn.reset();
        loop_.reset();
        if (!fake_) DropTestDatabase(dbPort_, db_);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    std::string Acc() const { return root_ + "/TarnIN/"; }

    /// Writes a queue pair; lines are joined with CR LF (and end with one).
    void WritePair(const std::string& folder, const std::string& name,
                   const std::vector<std::string>& dat, const std::vector<std::string>& msg) {
        WriteLines(Acc() + folder + name + ".dat", dat);
        WriteLines(Acc() + folder + name + ".msg", msg);
    }
    static void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
        std::ofstream f(path, std::ios::binary);
        for (const auto& l : lines) f << l << "\r\n";
    }
    /// A standard envelope: header, greeting command, sender, recipients.
    static std::vector<std::string> Envelope(const std::string& from,
                                             const std::vector<std::string>& rcpts) {
        std::vector<std::string> v{"id\t1.2.3.4\tx", "HELO gateway.example", from};
        v.insert(v.end(), rcpts.begin(), rcpts.end());
        return v;
    }

    /// Claims a pair and starts a delivery window for it, as the dispatcher does.
    frmSMTPClient* StartDelivery(const std::string& folder, const std::string& name) {
        ErrorState err;
        const auto dat = ClaimFile(Acc() + folder + name + ".dat", err);
        const auto msg = ClaimFile(Acc() + folder + name + ".msg", err);
        EXPECT_NE(dat, 0);
        EXPECT_NE(msg, 0);
        frmSMTPClient* w = Windows().Create(QueuePair{Acc(), folder, name, dat, msg});
        w->StartWindow();
        return w;
    }

    /// Runs the loop in virtual time (steps of `stepMs`, a short real pause
    /// each so the peer thread can answer) until `done` or `maxMs` of virtual time.
    bool RunUntil(const std::function<bool()>& done, std::int64_t maxMs = 200000,
                  std::int64_t stepMs = 5) {
        for (std::int64_t t = 0; t < maxMs; t += stepMs) {
            if (done()) return true;
            loop_->Advance(stepMs);
            if (!fake_) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return done();
    }
    bool RunUntilOutcomes(std::size_t n, std::int64_t maxMs = 200000, std::int64_t stepMs = 5) {
        return RunUntil([&] { return outcomes_.size() >= n; }, maxMs, stepMs);
    }
    /// Keeps the loop going for `ms` of virtual time.
    void RunFor(std::int64_t ms, std::int64_t stepMs = 5) {
        RunUntil([] { return false; }, ms, stepMs);
    }

    std::string LogText() const {
        std::ifstream f(delivery_->log.SessionLogPath(clock_->Now()), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    static bool Exists(const std::string& p) { return std::filesystem::exists(p); }

    /// Where the pair is now: "queue", "trash", "bad", "gone" or "split".
    std::string WhereIs(const std::string& folder, const std::string& name) const {
        auto both = [&](const std::string& dir) {
            return Exists(dir + name + ".dat") && Exists(dir + name + ".msg");
        };
        auto any = [&](const std::string& dir) {
            return Exists(dir + name + ".dat") || Exists(dir + name + ".msg");
        };
        const std::string q = Acc() + folder;
        const std::string t = Acc() + "Trash/";
        const std::string b = q + "BAD/";
        const int places = (any(q) ? 1 : 0) + (any(t) ? 1 : 0) + (any(b) ? 1 : 0);
        if (places > 1) return "split";
        if (both(q)) return "queue";
        if (both(t)) return "trash";
        if (both(b)) return "bad";
        return places == 0 ? "gone" : "split";
    }

    /// The queue timer runs as the main window's does.
    void StartQueueTimer() { queueTimer_->SetEnabled(true); }

    /// Minilog rows (ipaddress, mailfrom, mailto, action), oldest first.
    std::vector<Row> MinilogRows() const {
        return Query(dbPort_, db_,
                     "SELECT ipaddress, mailfrom, mailto, action FROM tbl_minilog ORDER BY id");
    }
    std::string Delivered() const {
        return Scalar(dbPort_, db_, "SELECT delivered FROM tbl_stats WHERE tarnid = '1A2B'");
    }

    std::string root_;
    std::string exeDir_;
    int dbPort_ = 0;
    std::string db_;
    MariaDbFactory factory_;
    DbSession session_{factory_};
    AuditSpool spool_;
    std::unique_ptr<DbAudit> audit_;
    std::unique_ptr<HealthCheck> health_;
    std::unique_ptr<Timer> dbTimer_;
    std::unique_ptr<ManualClock> clock_;
    std::unique_ptr<Loop> loop_;
    std::unique_ptr<Timer> queueTimer_;
    FakeService service_;
    bool fake_ = false;  // set by a test class: fake socket and audit, no database
    FakeServer server_;
    FakeAudit fakeAudit_;
    SocketFactory socketFactory_;  // empty: real sockets
    std::int16_t active_ = 0;
    std::unique_ptr<Delivery> delivery_;
    DeliverySettings* settings_ = nullptr;
    std::vector<Outcome> outcomes_;
};

}  // namespace bw::test
