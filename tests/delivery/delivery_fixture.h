// In-process set-up for delivery tests: a manual clock and a loop, the
// delivery of a fresh installation in a temporary application folder, queue
// pairs written on request, the fake audit, and the minilog records of
// unloaded windows collected. Real sockets by default; a test class that sets
// fake_ gets the fake server instead.
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

#include "delivery/delivery.h"
#include "delivery/delivery_meter.h"
#include "delivery/delivery_session.h"
#include "delivery/profile_parts.h"
#include "platform/loop.h"
#include "platform/queue_files.h"
#include "tests/support/fake_audit.h"
#include "tests/support/fake_service.h"
#include "tests/support/fake_socket.h"
#include "tests/support/manual_clock.h"

namespace bw::test {

/// Records why pairs were left in the queue, as "queue:reason".
struct LeftMeter final : DeliveryMeter {
    void SessionStarted() override {}
    void SessionEnded(const std::string&, SessionResult, double) override {}
    void Claimed(int) override {}
    void Left(const std::string& queue, const char* reason) override {
        left.push_back(queue + ":" + reason);
    }
    void Replied(const std::string&, char) override {}
    void Connected(const std::string& server, const std::string& version,
                   const std::string& cipher) override {
        connections.push_back(server + ":" + (version.empty() ? "none" : version + " " + cipher));
    }
    void BodySent(std::uint64_t) override {}
    std::vector<std::string> left;
    std::vector<std::string> connections;  // "server:version cipher" or "server:none"
};

class DeliveryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bwdeliv.XXXXXX";
        root_ = ::mkdtemp(tmpl);
        for (const char* d : {"TarnIN/Inbox", "TarnIN/Outbox", "TarnIN/Trash", "Logs", "state"}) {
            std::filesystem::create_directories(root_ + "/" + d);
        }
        if (fake_) socketFactory_ = FakeSocketMaker(loop_, server_);
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
        parts_.reset();
        delivery_.reset();
        delivery_ = std::make_unique<Delivery>(
            clock_, loop_, &service_, audit_, root_ + "/state", [this] { return dbUp_; },
            &queueTimer_, socketFactory_);
        delivery_->settings = kept;
        delivery_->ctx.meter = &meter_;
        parts_ = MakeProfileParts(*delivery_);
        queueTimer_.SetHandler([this] { delivery_->dispatcher.OnQueueTimer(); });
        Sessions().SetUnloadObserver(
            [this](const MinilogRow& r, const std::string&) { outcomes_.push_back(r); });
    }
    DeliverySessions& Sessions() { return delivery_->dispatcher.Sessions(); }
    DeliverySettings& S() { return delivery_->settings; }
    int Running() { return Sessions().Running(); }
    /// Fits the delivery to `profile` as the daemon does (the work source not
    /// started yet: parts_->Start()).
    void UseProfile(Profile profile) {
        S().profile = profile;
        parts_.reset();
        parts_ = MakeProfileParts(*delivery_);
    }
    /// The fake server plays well, answering the end of data with `endOfData`.
    void ServeFake(const char* endOfData = "250 queued\r\n") {
        server_.scripts = {{"220 mx\r\n", "250 hi\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
                            endOfData, "221 bye\r\n"}};
        S().smtpServers = {"127.0.0.1"};
    }
    void Scan() { delivery_->dispatcher.OnQueueTimer(); }
    void StartQueueTimer() { queueTimer_.SetEnabled(true); }

    void TearDown() override {
        parts_.reset();
        delivery_.reset();
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

    /// Claims a pair and starts a delivery session for it, as the dispatcher does.
    void StartDelivery(const std::string& folder, const std::string& name) {
        ErrorState err;
        const auto dat = delivery_->files.ClaimFile(Acc() + folder + name + ".dat", err);
        const auto msg = delivery_->files.ClaimFile(Acc() + folder + name + ".msg", err);
        EXPECT_NE(dat, 0);
        EXPECT_NE(msg, 0);
        QueuePair pair(delivery_->files, Acc(), folder, name, dat, msg);
        Sessions().Create(pair)->StartSession();
    }

    /// Runs the loop in virtual time (steps of `stepMs`, a short real pause
    /// each so a peer thread can answer) until `done` or `maxMs` of virtual time.
    bool RunUntil(const std::function<bool()>& done, std::int64_t maxMs = 200000,
                  std::int64_t stepMs = 5) {
        for (std::int64_t t = 0; t < maxMs; t += stepMs) {
            if (done()) return true;
            loop_.Advance(stepMs);
            if (!fake_) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return done();
    }
    bool RunUntilOutcomes(std::size_t n, std::int64_t maxMs = 200000, std::int64_t stepMs = 5) {
        return RunUntil([&] { return outcomes_.size() >= n; }, maxMs, stepMs);
    }
    void RunFor(std::int64_t ms, std::int64_t stepMs = 5) {
        RunUntil([] { return false; }, ms, stepMs);
    }

    std::string LogText() const { return ReadText(delivery_->log.SessionLogPath(clock_.Now())); }
    static std::string ReadText(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    static bool Exists(const std::string& p) { return std::filesystem::exists(p); }

    /// Where the pair is now: "queue", "trash", "bad", "gone" or "split".
    std::string WhereIs(const std::string& folder, const std::string& name) const {
        std::string where = "gone";
        for (const auto& [place, dir] : {std::pair<std::string, std::string>{"queue", folder},
                                         {"trash", "Trash/"},
                                         {"bad", folder + "BAD/"}}) {
            const int files =
                Exists(Acc() + dir + name + ".dat") + Exists(Acc() + dir + name + ".msg");
            if (files == 0) continue;
            if (files == 1 || where != "gone") return "split";
            where = place;
        }
        return where;
    }
    int Delivered() { return audit_.counts["delivered"]; }

    std::string root_;
    ManualClock clock_;
    Loop loop_{clock_};
    Timer queueTimer_{loop_, 5000, false};
    FakeService service_;
    FakeAudit audit_;
    bool dbUp_ = true;   // whether the database connection object exists
    bool fake_ = false;  // set by a test class: the fake server, not real sockets
    FakeServer server_;
    SocketFactory socketFactory_;  // empty: real sockets
    LeftMeter meter_;
    std::unique_ptr<Delivery> delivery_;
    std::unique_ptr<ProfileParts> parts_;  // after the delivery it fits
    std::vector<MinilogRow> outcomes_;
};

}  // namespace bw::test
