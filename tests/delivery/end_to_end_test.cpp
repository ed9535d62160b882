// The real daemon (build/bwtarnout) against the private MariaDB and a real
// SMTP server on 127.0.0.1: folders, minilog rows, statistics, session log and
// metrics endpoint after a run, no message lost when the daemon is killed
// mid-delivery, and nothing done beside it (to its folders, its state folder,
// its endpoint) that stops or freezes it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "platform/mariadb.h"
#include "tests/support/installation.h"
#include "tests/support/metrics_scrape.h"
#include "tests/support/smtp_peer.h"

namespace bw::test {
namespace {

namespace fs = std::filesystem;

TEST(EndToEnd, DaemonDeliversFilesAuditsAndCounts) {
    SmtpPeer sink;
    sink.Start();
    const int metricsPort = FreeLoopbackPort();
    Installation inst(
        sink.Port(),
        {.serverValues = {{"MetricsListen", "127.0.0.1:" + std::to_string(metricsPort)}}});
    inst.Queue("Inbox/", "in1", Envelope("alice@ext.example", {"bob@corp.example"}));
    inst.Queue("Inbox/", "in2",
               Envelope("carol@ext.example", {"bob@corp.example", "dave@corp.example"}));
    inst.Queue("Outbox/", "out1", Envelope("bob@corp.example", {"x@ext.example"}));
    inst.Queue("Outbox/", "norcpt", Envelope("bob@corp.example", {}));
    inst.Start();
    ASSERT_TRUE(inst.WaitQueueEmpty(60)) << inst.DaemonLog();
    ASSERT_TRUE(inst.WaitRows(4, 10));
    // The sessions have ended (their rows are written just before).
    std::string m;
    for (int i = 0; i < 50 && MetricSample(m, "bwtarnout_sessions_active") != "0"; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m = HttpGet(metricsPort);
    }
    inst.Terminate();
    const std::string server = "server=\"127.0.0.1:" + std::to_string(sink.Port()) + "\"";
    const std::map<std::string, std::string> expected = {
        // Three conversations: greeting, HELO, MAIL, RCPT (two for in2), end
        // of data and QUIT answered with "2", DATA with "3".
        {"bwtarnout_replies_total{class=\"2xx\"," + server + "}", "19"},
        {"bwtarnout_replies_total{class=\"3xx\"," + server + "}", "3"},
        {"bwtarnout_messages_total{queue=\"Inbox\",result=\"delivered\"}", "2"},
        {"bwtarnout_messages_total{queue=\"Outbox\",result=\"delivered\"}", "1"},
        {"bwtarnout_messages_total{queue=\"Outbox\",result=\"refused\"}", "1"},
        {"bwtarnout_messages_total{queue=\"Inbox\",result=\"left\"}", "0"},
        {"bwtarnout_left_total{queue=\"Outbox\",reason=\"unreachable\"}", "0"},
        {"bwtarnout_sessions_active", "0"},
        {"bwtarnout_session_duration_seconds_count", "4"},
        {"bwtarnout_queue_pairs{folder=\"Inbox\"}", "0"},
        {"bwtarnout_queue_pairs{folder=\"Outbox/BAD\"}", "1"},
        {"bwtarnout_queue_oldest_age_seconds{folder=\"Inbox\"}", "0"},
        {"bwtarnout_db_connected", "1"},
        {"bwtarnout_db_connection_string", "0"},
        {"bwtarnout_audit_spool_records", "0"},
        {"bwtarnout_db_reconnection_passes_total", "1"},
        {"bwtarnout_db_failovers_total", "0"},
        {"bwtarnout_db_alternative_seconds", "0"},
        {"bwtarnout_audit_spool_oldest_age_seconds", "0"},
        {"bwtarnout_audit_records_lost_total", "0"},
        {"bwtarnout_build_info{version=\"" BW_PACKAGE_VERSION "\"}", "1"},
    };
    for (const auto& [series, value] : expected)
        EXPECT_EQ(MetricSample(m, series), value) << series;
    // The process's own figures, and the last delivery: plausible, not exact.
    const auto number = [&m](const char* series) {
        const std::string v = MetricSample(m, series);
        return v.empty() ? -1.0 : std::stod(v);
    };
    const double now = static_cast<double>(std::time(nullptr));
    for (const char* series :
         {"process_start_time_seconds", "bwtarnout_last_delivery_timestamp_seconds"}) {
        EXPECT_GT(number(series), now - 600) << series;
        EXPECT_LE(number(series), now + 1) << series;
    }
    for (const char* series : {"process_resident_memory_bytes", "process_open_fds",
                               "process_max_fds", "bwtarnout_body_bytes_total"}) {
        EXPECT_GT(number(series), 0) << series;
    }
    // Four pairs, one scan or more: every pair claimed once.
    EXPECT_EQ(MetricSample(m, "bwtarnout_claims_per_scan_sum"), "4");

    EXPECT_EQ(sink.Messages(), 3u);
    for (const char* n : {"in1", "in2", "out1"}) {
        EXPECT_TRUE(fs::exists(inst.Acc() + "Trash/" + n + ".msg")) << n;
        EXPECT_TRUE(fs::exists(inst.Acc() + "Trash/" + n + ".dat")) << n;
    }
    EXPECT_TRUE(fs::exists(inst.Acc() + "Outbox/BAD/norcpt.dat"));
    EXPECT_TRUE(fs::exists(inst.Acc() + "Changed.flg"));
    EXPECT_EQ(inst.Delivered(), "3");

    std::multiset<std::string> actions;
    for (const Row& r : inst.Minilog()) {
        EXPECT_EQ(r[0].value_or(""), "BWTarnOut");
        const std::string a = r[3].value_or("");
        actions.insert(a.substr(0, a.find(" to: ")));
    }
    EXPECT_EQ(actions, (std::multiset<std::string>{
                           "900 Delivered in1", "900 Delivered in2", "900 Delivered out1",
                           "590 Peer Delivery ERROR norcpt (NO VALID RCPTs!!)"}));
    EXPECT_NE(inst.SessionLog().find("*--B->R RCPT TO: <dave@corp.example>\r\n"),
              std::string::npos);
}

// The fast profile: the same folders, rows and counts as the classic one, and
// the watch claims a pair only once its second file is whole: a message
// written in two steps while the daemon runs arrives complete.
TEST(EndToEnd, FastProfileDeliversEveryPairWholeWithRowsAndCounts) {
    SmtpPeer sink;
    sink.Start();
    Installation inst(sink.Port(), {.tarnId = "E2EFAST",
                                    .smtpLog = true,
                                    .useTrash = true,
                                    .serverValues = {{"Profile", "fast"}}});
    constexpr int kPairs = 60;
    for (int i = 0; i < kPairs; ++i) {
        std::string name = "f";
        name += std::to_string(i);
        inst.Queue(i % 2 == 0 ? "Inbox/" : "Outbox/", name,
                   Envelope("alice@ext.example", {"bob@corp.example"}));
    }
    inst.Start();
    ASSERT_TRUE(inst.WaitQueueEmpty(30)) << inst.DaemonLog();

    const std::string late = inst.Acc() + "Inbox/late";
    {
        std::ofstream dat(late + ".dat", std::ios::binary);
        for (const auto& l : Envelope("carol@ext.example", {"dave@corp.example"})) {
            dat << l << "\r\n";
        }
    }
    std::ofstream msg(late + ".msg", std::ios::binary);
    msg << "Subject: two steps\r\n\r\nfirst half\r\n" << std::flush;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(sink.Messages(), static_cast<std::uint64_t>(kPairs)) << "claimed while written";
    msg << "second half\r\n";
    msg.close();
    ASSERT_TRUE(inst.WaitQueueEmpty(10)) << inst.DaemonLog();
    ASSERT_TRUE(inst.WaitRows(kPairs + 1, 10));
    // Rewritten once per group, before the group's rows, while the daemon runs.
    EXPECT_TRUE(fs::exists(inst.Acc() + "Changed.flg"));
    inst.Terminate();

    EXPECT_EQ(sink.Messages(), static_cast<std::uint64_t>(kPairs + 1));
    EXPECT_NE(sink.Bodies().back().find("first half\r\nsecond half"), std::string::npos);
    EXPECT_EQ(inst.Delivered(), std::to_string(kPairs + 1));
    EXPECT_EQ(inst.Files("Trash/", ".msg"), kPairs + 1);
}

// A database that holds every write (a global read lock, as a Galera
// cluster does at each change of its members) holds up no mail in either
// profile: the messages are delivered and filed while the lock is held, and
// their rows and counts reach the tables once it is released.
TEST(EndToEnd, WriteLockedDatabaseHoldsUpNoMail) {
    PrivateMariaDb server;
    ASSERT_TRUE(server.Start());
    SmtpPeer sink;
    sink.Start();
    for (const char* profile : {"classic", "fast"}) {
        SCOPED_TRACE(profile);
        Installation inst(sink.Port(),
                          {.dbPort = server.Port(), .serverValues = {{"Profile", profile}}});
        inst.Queue("Inbox/", "first", Envelope("a@ext.example", {"b@corp.example"}));
        inst.Start();
        ASSERT_TRUE(inst.WaitRows(1, 30)) << inst.DaemonLog();

        MariaDbFactory factory;
        auto lock = factory.NewConnection();
        lock->SetConnectionString(ConnString(server.Port(), inst.Db()));
        ErrorState err;
        lock->Open(err);
        ASSERT_FALSE(err.Failed()) << err.description;
        lock->Execute("FLUSH TABLES WITH READ LOCK", err);
        ASSERT_FALSE(err.Failed()) << err.description;
        for (int i = 0; i < 8; ++i) {
            inst.Queue(i % 2 ? "Outbox/" : "Inbox/", "locked" + std::to_string(i),
                       Envelope("a@ext.example", {"b@corp.example"}));
        }
        const bool flowed = inst.WaitQueueEmpty(30);
        const std::string rowsWhileLocked = inst.Scalar("SELECT COUNT(*) FROM tbl_minilog");
        lock->Execute("UNLOCK TABLES", err);
        EXPECT_TRUE(flowed) << "no mail while the database held its writes";
        EXPECT_EQ(rowsWhileLocked, "1");
        EXPECT_TRUE(inst.WaitRows(9, 30));
        inst.Terminate();
        EXPECT_EQ(inst.Files("Trash/", ".msg"), 9);
        EXPECT_EQ(inst.Delivered(), "9");
    }
}

// What others may do beside a running daemon stopped or froze it: in the fast
// profile a queue folder removed (or renamed away) ended it with status 1; a
// pipe in place of the state folder's "sent-pairs" froze it at the first
// server answer, deaf to SIGTERM; and a few hundred connections held to the
// metrics endpoint left every scrape unanswered. Now the delivery goes on
// through all of it, and the journal says what is wrong.
TEST(EndToEnd, NothingOthersDoBesideTheDaemonStopsOrFreezesIt) {
    SmtpPeer sink;
    sink.Start();
    const int metricsPort = FreeLoopbackPort();
    Installation inst(
        sink.Port(),
        {.tarnId = "E2EHOST",
         .serverValues = {{"Profile", "fast"},
                          {"MetricsListen", "127.0.0.1:" + std::to_string(metricsPort)}}});
    fs::create_directories(inst.StateDir());
    const std::string record = inst.StateDir() + "sent-pairs";
    ASSERT_EQ(::mkfifo(record.c_str(), 0600), 0);
    const auto envelope = Envelope("alice@ext.example", {"bob@corp.example"});
    inst.Queue("Inbox/", "i1", envelope);
    inst.Start();
    ASSERT_TRUE(inst.WaitQueueEmpty(30)) << inst.DaemonLog();

    const std::vector<int> held = HoldConnections(metricsPort, 300);
    fs::remove_all(inst.Acc() + "Inbox");
    inst.Queue("Outbox/", "o1", envelope);
    for (int i = 0; i < 100 && sink.Messages() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(sink.Messages(), 2u);
    ASSERT_TRUE(inst.Running()) << inst.DaemonLog();
    fs::create_directories(inst.Acc() + "Inbox");
    inst.Queue("Inbox/", "i2", envelope);
    ASSERT_TRUE(inst.WaitQueueEmpty(10)) << inst.DaemonLog();
    const std::string scrape = HttpExchange(metricsPort, "GET /metrics HTTP/1.0\r\n\r\n", 5000);
    EXPECT_NE(scrape.find("\nbwtarnout_messages_total{queue=\"Inbox\",result=\"delivered\"} 2\n"),
              std::string::npos)
        << scrape;
    for (const int fd : held) {
        if (fd >= 0) ::close(fd);
    }
    EXPECT_TRUE(inst.Terminate()) << "SIGTERM did not end it";

    EXPECT_EQ(sink.Messages(), 3u);
    EXPECT_EQ(inst.Files("Trash/", ".msg"), 3);
    EXPECT_TRUE(fs::is_fifo(record));
    const std::string log = inst.DaemonLog();
    for (const std::string& said :
         {"Sent record " + record + " is a pipe (FIFO), not a regular file",
          "Queue folder " + inst.Acc() + "Inbox/ missing or unreadable",
          "Queue folder " + inst.Acc() + "Inbox/ is back"}) {
        EXPECT_NE(log.find(said), std::string::npos) << said << "\n" << log;
    }
}

// The first scan comes 5 s after each start, so every round costs that
// much and is made to count. Even rounds kill at a time spread over the
// conversations after the first scan (claim, envelope, body); odd rounds
// watch the trash and BAD folders and kill a few milliseconds after the
// first file of the round lands there, while the other windows of the
// batch are filing. Returns the rounds that filed something.
int KillRounds(Installation& inst) {
    constexpr int kRounds = 8;
    auto filedCount = [&] {
        int n = 0;
        for (const char* dir : {"Trash/", "Inbox/BAD/", "Outbox/BAD/"}) {
            n += inst.Files(dir, ".msg") + inst.Files(dir, ".dat");
        }
        return n;
    };
    int roundsWithProgress = 0;
    for (int round = 0; round < kRounds && inst.QueuedPairs() > 0; ++round) {
        const int before = inst.QueuedPairs();
        const int filedBefore = filedCount();
        inst.Start();
        if (round % 2 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5200 + round * 250));
        } else {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (filedCount() == filedBefore && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds((round / 2) * 4));
        }
        inst.Kill();
        roundsWithProgress += inst.QueuedPairs() < before ? 1 : 0;
    }
    return roundsWithProgress;
}

// Kills the daemon with SIGKILL at many moments of many deliveries and checks
// that every message ends in exactly one place: queue, trash or BAD, and that
// every delivered one has its minilog row and count (a kill between the
// filing and the window's unload used to lose both).
TEST(EndToEnd, KilledDaemonLosesNothing) {
    SmtpPeer sink;
    sink.KeepBodies(false);
    sink.Start();
    Installation inst(sink.Port());
    const int kPairs = 30;
    Strings names;
    auto folderOf = [](int i) { return std::string(i % 2 == 0 ? "Inbox/" : "Outbox/"); };
    for (int i = 0; i < kPairs; ++i) {
        const std::string name = "c" + std::to_string(1000 + i);
        // A few refused ones (no recipient) so filing to BAD is crashed into too.
        inst.Queue(folderOf(i), name,
                   i % 7 == 3 ? Envelope("a@ext.example", {})
                              : Envelope("a@ext.example", {"b@corp.example"}),
                   "Subject: " + name + "\r\n\r\n" + std::string(20000, 'q') + "\r\n");
        names.push_back(name);
    }
    const int roundsWithProgress = KillRounds(inst);
    EXPECT_GE(roundsWithProgress, 3) << "the kills never met a delivery";
    inst.Start();
    inst.WaitQueueEmpty(120);
    inst.Terminate();

    std::map<std::string, int> deliveredRows;
    for (const Row& row : inst.Minilog()) {
        const std::string action = row[3].value_or("");
        if (action.rfind("900 Delivered ", 0) == 0) ++deliveredRows[action.substr(14, 5)];
    }
    for (int i = 0; i < kPairs; ++i) {
        const std::string& name = names[i];
        int msgs = 0;
        for (const std::string& place :
             {folderOf(i), std::string("Trash/"), folderOf(i) + "BAD/"}) {
            msgs += fs::exists(inst.Acc() + place + name + ".msg") ? 1 : 0;
        }
        EXPECT_EQ(msgs, 1) << name << " is in " << msgs << " places";
        if (fs::exists(inst.Acc() + "Trash/" + name + ".msg")) {
            EXPECT_GE(deliveredRows[name], 1) << name << " was delivered without a minilog row";
        }
    }
    EXPECT_GE(sink.Messages(), static_cast<std::uint64_t>(kPairs - kPairs / 7 - 1));
    EXPECT_EQ(inst.Delivered(),
              inst.Scalar("SELECT COUNT(*) FROM tbl_minilog WHERE action LIKE '900 Delivered %'"));
}

}  // namespace
}  // namespace bw::test
