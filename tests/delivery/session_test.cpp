// The SMTP conversation of one delivery session against a scripted server on
// 127.0.0.1, with the time limits run on the manual clock.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "delivery/envelope.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/smtp_peer.h"

#if defined(__SANITIZE_ADDRESS__)
#define BW_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BW_UNDER_ASAN 1
#endif
#endif

namespace bw::test {
namespace {

using Strings = std::vector<std::string>;

class SessionTest : public DeliveryTest {
  protected:
    void Serve(SmtpPeer& p) {
        p.Start();
        S().smtpServers = {"127.0.0.1:" + std::to_string(p.Port())};
    }
    // Between the rows of a table: no window, outcome, queued pair or log left.
    void Reset() {
        Sessions().DestroyFinished();
        outcomes_.clear();
        std::filesystem::remove_all(Acc() + "Inbox");
        std::filesystem::create_directories(Acc() + "Inbox");
        std::filesystem::remove(delivery_->log.SessionLogPath(clock_.Now()));
        server_.bodies.clear();
        server_.commands.clear();
        Restart();  // a pair written again may get the inodes of the last one
    }

    void QueueOne(const std::string& name = "M1", const std::string& from = "alice@ext.example",
                  const Strings& rcpts = {"bob@corp.example"},
                  const Strings& msg = {"X-Queue: 1", "Subject: hi", "", "hello"}) {
        WritePair("Inbox/", name, Envelope(from, rcpts), msg);
    }
    const MinilogRow& DeliverOne(const std::string& folder = "Inbox/",
                                 const std::string& name = "M1", std::int64_t maxMs = 200000,
                                 std::int64_t stepMs = 5) {
        StartDelivery(folder, name);
        EXPECT_TRUE(RunUntilOutcomes(1, maxMs, stepMs)) << "no outcome; log:\n" << LogText();
        EXPECT_EQ(Running(), 0);
        EXPECT_EQ(delivery_->files.OpenFileNoCount(), 0);
        return outcomes_.empty() ? none_ : outcomes_.front();
    }
    MinilogRow none_;
};

// The same on the fake server (fake_socket.h), which answers every step well.
class FakeSessionTest : public SessionTest {
  protected:
    FakeSessionTest() { fake_ = true; }
};

// The last line of a greeting comes late: one reply. Time limits run on the
// monotonic clock: the wall clock stepping an hour ahead meanwhile is not
// waiting. A refused recipient does not stop the delivery to the others.
TEST_F(SessionTest, DeliversFilesToTrashCountsAndLogsTheConversation) {
    SmtpPeer peer;
    peer.Send("220-mx.corp.example first line\r\n").Pause().Send("220 mx.corp.example ready\r\n");
    peer.Expect("HELO").Send("250 hi\r\n").Expect("MAIL").Send("250 ok\r\n");
    peer.Expect("RCPT TO: <nobody@").Send("550 no such user\r\n");
    peer.Expect("RCPT TO: <bob@").Send("250 ok\r\n");
    peer.Expect("DATA").Send("354 go\r\n").ExpectBody().Send("250 queued\r\n");
    peer.Expect("QUIT").Send("221 bye\r\n");
    Serve(peer);
    QueueOne("M1", "alice@ext.example", {"nobody@corp.example", "bob@corp.example"});
    StartDelivery("Inbox/", "M1");
    RunFor(1000);  // the continuation line is in
    clock_.SetNow(clock_.Now() + 1.0 / 24);
    RunFor(2000);
    EXPECT_EQ(peer.Commands().size(), 0u);
    peer.Release();
    ASSERT_TRUE(RunUntilOutcomes(1));
    EXPECT_EQ(Running(), 0);
    EXPECT_EQ(delivery_->files.OpenFileNoCount(), 0);
    EXPECT_TRUE(peer.Errors().empty()) << peer.Errors()[0];
    ASSERT_EQ(peer.Bodies().size(), 1u);
    // The first line of the message file is never sent; a final "." is added.
    EXPECT_EQ(peer.Bodies()[0], "Subject: hi\r\n\r\nhello\r\n.\r\n");
    EXPECT_EQ(WhereIs("Inbox/", "M1"), "trash");
    EXPECT_TRUE(Exists(Acc() + "Changed.flg"));
    ASSERT_EQ(audit_.rows.size(), 1u);
    const MinilogRow& row = audit_.rows[0];
    EXPECT_EQ(row.ip + " " + row.from + " " + row.to,
              "BWTarnOut alice@ext.example bob@corp.example");
    EXPECT_EQ(row.action, "900 Delivered M1 to: 127.0.0.1: " + std::to_string(peer.Port()));
    EXPECT_EQ(Delivered(), 1);
    // Every line carries the session's tag; the opening lines name the pair.
    EXPECT_EQ(LogText(),
              "#1 *--*--* ===== TARN-OUT SMTP CLIENT "
              "============================================\r\n"
              "#1 *--*--* Session started:05.12.2026 - 12:00:00\r\n"
              "#1 *--*--* AccPath: '" +
                  Acc() +
                  "'\r\n"
                  "#1 *--*--* Queue pair: 'Inbox/M1'\r\n"
                  "#1 *--B->R *** Connecting 127.0.0.1 ***\r\n"
                  "#1 *--B<-R 220-mx.corp.example first line\r\n"
                  "#1 220 mx.corp.example ready\r\n\r\n"
                  "#1 *--B->R HELO gateway.example\r\n"
                  "#1 *--B<-R 250 hi\r\n\r\n"
                  "#1 *--B->R MAIL FROM: <alice@ext.example>\r\n"
                  "#1 *--B<-R 250 ok\r\n\r\n"
                  "#1 *--B->R RCPT TO: <nobody@corp.example>\r\n"
                  "#1 *--B<-R 550 no such user\r\n\r\n"
                  "#1 *--B->R RCPT TO: <bob@corp.example>\r\n"
                  "#1 *--B<-R 250 ok\r\n\r\n"
                  "#1 *--B->R DATA\r\n"
                  "#1 *--B<-R 354 go\r\n\r\n"
                  "#1 *--B<-R 250 queued\r\n\r\n"
                  "#1 *--B->R QUIT\r\n"
                  "#1 *--B<-R 221 bye\r\n\r\n");
}

// A server that plays well up to the reply to DATA.
void UptoData(SmtpPeer& p) {
    p.Send("220 mx\r\n").Expect("HELO").Send("250 hi\r\n").Expect("MAIL").Send("250 ok\r\n");
    p.Expect("RCPT").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
}

// The server answers, drops the line or stops reading in the middle of a
// body of 40 MB, more than the socket buffers hold.
TEST_F(SessionTest, ReplyDropOrStallInTheMiddleOfTheBody) {
    struct Row {
        const char* reply;  // nullptr: the connection is dropped; "": the server stops reading
        const char* where;
        const char* action;
    };
    // Only a "5" reply refuses; a reply without its code, a dropped line or a
    // stall leaves the pair in the queue: the server has judged nothing.
    for (const Row& row :
         {Row{"554 message too big\r\n", "bad", "590 Peer Delivery ERROR M1 (554 message too big)"},
          Row{"452 disk full\r\n", "queue",
              "490 Peer Delivery DEFERRED M1 (message body: 452 disk full)"},
          Row{"5", "queue", "*** Connection lost *** M1"},
          Row{nullptr, "queue", "*** Connection lost *** M1"},
          Row{"", "queue", "*** Connection lost *** M1"}}) {
        SCOPED_TRACE(row.reply != nullptr ? row.reply : "dropped");
        Reset();
        SmtpPeer peer;
        UptoData(peer);
        const bool stall = row.reply != nullptr && *row.reply == '\0';
        if (stall) {
            peer.Hold();
        } else if (row.reply != nullptr) {
            peer.ReadBodyBytes(10000).Send(row.reply);
        } else {
            peer.ReadBodyBytes(10000).Drop();
        }
        Serve(peer);
        Strings msg{"X-Queue: 1", ""};
        for (int i = 0; i < 200000; ++i) msg.push_back(std::string(200, 'b'));
        QueueOne("M1", "alice@ext.example", {"bob@corp.example"}, msg);
        const MinilogRow& o = DeliverOne("Inbox/", "M1", 400000, stall ? 50 : 5);
        EXPECT_EQ(WhereIs("Inbox/", "M1"), row.where);
        EXPECT_EQ(o.action, row.action);
        // Stalled for 90 s: one line, the step that ends the session is the last
        // (the stage timer runs at 1 ms here, faster than the 5 ms unload timer).
        const std::string log = LogText();
        const std::string timeout = "*--*--* *** TIMEOUT during sending data ***\r\n";
        const auto first = log.find(timeout);
        EXPECT_EQ(first != std::string::npos, stall);
        EXPECT_EQ(log.find(timeout, first + 1), std::string::npos) << log;
    }
}

// Server entries: surrounding blanks are dropped, an entry without a port uses
// port 25 (whatever other entries name), the Outbox goes to the second peer with the entry's port.
// An entry with an empty host or a port that is no number from 1 to 65535 (or
// a second peer that is no plain host name) is never connected to: it fails
// at once, as an unreachable server does, and the next entry is tried.
TEST_F(FakeSessionTest, UnusableServerEntriesNeverConnect) {
    struct Row {
        const char* label;
        Strings servers;
        const char* peer2;
        const char* folder;
        const char* where;
        const char* timeoutOf;  // the TIMEOUT line names this ("-": none)
        int port = 2526;        // of a delivery
    };
    const Row rows[] = {
        {"entry without a port", {"  127.0.0.1  "}, "", "Inbox/", "trash", "-", 25},
        {"Outbox to the peer", {"mail.invalid:2526"}, "127.0.0.1", "Outbox/", "trash", "-"},
        {"empty list", {}, "", "Inbox/", "queue", ""},
        {"empty entry", {""}, "", "Inbox/", "queue", ""},
        {"blank entry", {"   "}, "", "Inbox/", "queue", ""},
        {"port without a host", {":2526"}, "", "Inbox/", "queue", ":2526"},
        {"port above 65535", {"127.0.0.1:99999"}, "", "Inbox/", "queue", "127.0.0.1:99999"},
        {"port not a number", {"127.0.0.1:-5x"}, "", "Inbox/", "queue", "127.0.0.1:-5x"},
        {"port 0", {" 127.0.0.1:0 "}, "", "Inbox/", "queue", "127.0.0.1:0"},
        {"empty port", {"127.0.0.1:"}, "", "Inbox/", "queue", "127.0.0.1:"},
        {"unusable entry, then a good one", {"", "127.0.0.1:2526"}, "", "Inbox/", "trash", ""},
        {"peer with a port", {"127.0.0.1"}, "127.0.0.1:2526", "Outbox/", "queue", "127.0.0.1:2526"},
        {"blank peer", {"127.0.0.1"}, " ", "Outbox/", "queue", " "},
        {"good peer after an empty host",
         {":2526", "127.0.0.1"},
         "127.0.0.1",
         "Outbox/",
         "trash",
         ":2526",
         25},
    };
    ServeFake();
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        Reset();
        S().peer2 = row.peer2;
        S().smtpServers = row.servers;
        const std::string name = "S" + std::to_string(++n);
        WritePair(row.folder, name, Envelope("alice@ext.example", {"bob@corp.example"}),
                  {"X", "Subject: hi"});
        const int attemptsBefore = server_.attempts;
        const std::int64_t t0 = clock_.MonotonicMs();
        const MinilogRow& o = DeliverOne(row.folder, name);
        EXPECT_EQ(WhereIs(row.folder, name), row.where);
        const bool delivered = std::string(row.where) == "trash";
        EXPECT_EQ(server_.attempts - attemptsBefore, delivered ? 1 : 0);
        if (delivered) {
            EXPECT_EQ(o.action,
                      "900 Delivered " + name + " to: 127.0.0.1: " + std::to_string(row.port));
        } else {
            EXPECT_LT(clock_.MonotonicMs() - t0, 1000);  // no 5 s wait
        }
        if (std::string(row.timeoutOf) == "-") {
            EXPECT_EQ(LogText().find("TIMEOUT Connecting"), std::string::npos);
        } else if (!row.servers.empty()) {
            EXPECT_NE(
                LogText().find(std::string("*** TIMEOUT Connecting ") + row.timeoutOf + " ***"),
                std::string::npos)
                << LogText();
        }
    }
    // A port named by one session's entry is not the next session's.
    Reset();
    for (const char* entry : {"127.0.0.1:2526", "127.0.0.1"}) {
        outcomes_.clear();  // the same delivery, not a new one
        S().smtpServers = {entry};
        const std::string name = "P" + std::to_string(++n);
        WritePair("Inbox/", name, Envelope("alice@ext.example", {"bob@corp.example"}), {"X"});
        EXPECT_EQ(DeliverOne("Inbox/", name).action,
                  "900 Delivered " + name + " to: 127.0.0.1: " +
                      (std::string(entry).find(':') != std::string::npos ? "2526" : "25"));
    }
}

// What the envelope's lines become: the greeting command and the sender sent.
TEST(EnvelopeTest, GreetingAndSenderAsSent) {
    const std::string fwd = "\tFWD.EXAMPLE\t";
    const struct {
        const char* label;
        Strings dat;
        const char* sender;
        const char* helo = "HELO gw.example";
    } rows[] = {
        {"forwarded recipient gives the null sender",
         {"h", "HELO gw.example", "alice@ext.example", "bob@corp.example", "eve@Fwd.Example"},
         ""},
        {"forwarded sender gives the null sender",
         {"h", "HELO gw.example", "alice@fwd.example", "bob@corp.example"},
         ""},
        {"sender without @ is kept",
         {"h", "HELO gw.example", "postmaster", "bob@corp.example"},
         "postmaster"},
        {"sender equal to the greeting line is skipped",
         {"h", "HELO gw.example", "HELO gw.example", "alice@ext.example", "bob@corp.example"},
         "alice@ext.example"},
        {"empty sender", {"h", "HELO gw.example", "", "bob@corp.example"}, ""},
        {"greeting line shorter than 6 characters is replaced",
         {"h", "HELO", "alice@ext.example", "bob@corp.example"},
         "alice@ext.example",
         "HELO BWDTarnOUT"},
    };
    for (const auto& row : rows) {
        const bw::Envelope env = ReadEnvelope(row.dat, fwd);
        EXPECT_EQ(env.outcome, bw::Envelope::Outcome::kSend) << row.label;
        EXPECT_EQ(env.helo, row.helo) << row.label;
        EXPECT_EQ(env.sender, row.sender) << row.label;
    }
}

// The bytes on the wire are the message's own (body_wire_test.cpp proves the
// rules for any file): the first line is dropped (however long), the body
// ends at its own "." line or gets one, bare line ends go out as CR LF with
// what follows dot-stuffed, and the session log says both once.
TEST_F(FakeSessionTest, BodyIsTheMessageByteForByteEndingAtTheDotLine) {
    const std::string a(2 * 65536, 'e');
    std::string twenty;  // 20,000 characters, sent in three pieces
    for (int i = 0; i < 400; ++i) twenty += std::string(48, 'd') + "\r\n";
    struct Row {
        std::string file, body;
        bool bare = false;  // the log says bare line ends were sent as line ends
        int notSent = 0;    // the log says so many bytes after the end line were not sent
    };
    const Row rows[] = {
        {"X\r\n.\r\nnever sent\r\n", ".\r\n", false, 12},
        {"X\r\na\r\n.\r\nb\r\n", "a\r\n.\r\n", false, 3},
        {"X\r\n", ".\r\n"},
        {"X\r\n" + twenty, twenty + ".\r\n"},
        {"X\r\nlf\nstays\r\ncr\rends\r\n", "lf\r\nstays\r\ncr\r\nends\r\n.\r\n", true},
        {"X\r\n.\nMAIL FROM:<x@evil.test>\nRCPT TO:<v@corp.example>\nDATA\nforged body\r\n",
         "..\r\nMAIL FROM:<x@evil.test>\r\nRCPT TO:<v@corp.example>\r\nDATA\r\nforged body\r\n"
         ".\r\n",
         true},
        {"X\r\n" + std::string(65535, 'g') + "\n.\r\n", std::string(65535, 'g') + "\r\n.\r\n",
         true},
        {"X\r\n" + a + ".\r\nafter\r\n", a + ".\r\nafter\r\n.\r\n"},
        {"X\r\n" + a, a + "\r\n.\r\n"},
        {a + "x\r\nbody\r\n", "body\r\n.\r\n"},
    };
    ServeFake();
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(n++);
        Reset();
        WritePair("Inbox/", "B", Envelope("a@b.example", {"c@d.example"}), {});
        std::ofstream(Acc() + "Inbox/B.msg", std::ios::binary | std::ios::trunc) << row.file;
        DeliverOne("Inbox/", "B");
        ASSERT_EQ(server_.bodies.size(), 1u);
        EXPECT_TRUE(server_.bodies[0] == row.body) << server_.bodies[0].size();
        EXPECT_EQ(server_.commands.back(), "QUIT");
        const std::string log = LogText();
        for (const auto& [said, expected] :
             {std::pair<std::string, bool>{
                  "bare line feed or carriage return in the message sent as", row.bare},
              {"*** " + std::to_string(row.notSent) +
                   " bytes after the end line \".\" of Inbox/B.msg not sent ***",
               row.notSent > 0}}) {
            const auto at = log.find(said);
            EXPECT_EQ(at != std::string::npos, expected) << said;
            if (at != std::string::npos) {
                EXPECT_EQ(log.find(said, at + 1), std::string::npos);
            }
        }
    }
    int journalLines = 0;
    for (const auto& e : service_.events) {
        journalLines += e.text.find("bytes after the end line") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(journalLines, 2);
}

// A message whose lines end in LF only (one "line" of 64 MB) is streamed like
// any other instead of being loaded whole.
TEST_F(SessionTest, LfOnlyMessageIsStreamedInBoundedMemory) {
    SmtpPeer sink;
    sink.KeepBodies(false);
    Serve(sink);
    WritePair("Inbox/", "LF", Envelope("a@b.example", {"c@d.example"}), {});
    {
        std::ofstream f(Acc() + "Inbox/LF.msg", std::ios::binary | std::ios::trunc);
        f << "X\r\n";
        std::string chunk;
        while (chunk.size() < (1 << 20)) chunk += std::string(99, 'f') + "\n";
        for (int i = 0; i < 64; ++i) f << chunk;
    }
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    DeliverOne("Inbox/", "LF");
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(WhereIs("Inbox/", "LF"), "trash");
    EXPECT_GE(sink.BodyBytes(), 64u << 20);
#if !defined(BW_UNDER_ASAN)
    // The address sanitizer's quarantine keeps freed parts; the bound holds without it.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "KB of peak memory";
#endif
}

// A file of the same name already in the trash: the delivered file is deleted.
// A minilog row the audit cannot keep is said in the session log; the pair is
// filed all the same.
TEST_F(FakeSessionTest, TrashRulesAndLostMinilogRow) {
    ServeFake();
    audit_.fail = true;
    WriteLines(Acc() + "Trash/T1.msg", {"old"});
    QueueOne("T1");
    DeliverOne("Inbox/", "T1");
    EXPECT_FALSE(Exists(Acc() + "Inbox/T1.msg"));
    EXPECT_EQ(std::filesystem::file_size(Acc() + "Trash/T1.msg"), 5u);
    EXPECT_TRUE(Exists(Acc() + "Trash/T1.dat"));
    EXPECT_NE(LogText().find("*-*-* MINILOG ERROR: -2147467259 Unable to reconnect to DB!\r\n"),
              std::string::npos)
        << LogText();
    // Without the trash, delivered files are deleted.
    Reset();
    S().useTrash = false;
    QueueOne("T2");
    DeliverOne("Inbox/", "T2");
    EXPECT_EQ(WhereIs("Inbox/", "T2"), "gone");
}

TEST_F(FakeSessionTest, UnsendableEnvelopesNeverReachTheServer) {
    struct Row {
        const char* label;
        Strings dat;
        const char* where;
        const char* action;
        const char* log;
    };
    const Row rows[] = {
        {"line feed in the greeting command",
         {"h", "HELO gw\nRSET", "a@b.example", "c@d.example"},
         "bad",
         "590 Peer Delivery ERROR U (envelope greeting command holds control character 0x0A)",
         "!!! ERROR: envelope greeting command holds control character 0x0A at position 8; "
         "not sent, filed as bad"},
        {"NUL in the sender",
         {"h", "HELO gw.example", std::string("a@b.ex\0ample", 12), "c@d.example"},
         "bad",
         "590 Peer Delivery ERROR U (envelope sender holds control character 0x00)",
         "!!! ERROR: envelope sender holds control character 0x00"},
        {"smuggled command in a recipient",
         {"h", "HELO gw.example", "a@b.example", "c@d.example", "x@y.example>\nDATA"},
         "bad",
         "590 Peer Delivery ERROR U (envelope recipient 2 holds control character 0x0A)",
         "!!! ERROR: envelope recipient 2 holds control character 0x0A"},
        {"recipient of 70,000 characters (read in part, the rest skipped)",
         {"h", "HELO gw.example", "a@b.example", std::string(70000, 'r') + "@d.example"},
         "bad",
         "590 Peer Delivery ERROR U (envelope recipient 1 longer than 65535 characters)",
         "!!! ERROR: envelope recipient 1 longer than 65535 characters; not sent, filed as bad"},
        {"no recipient",
         {"h", "HELO gw.example", "a@b.example"},
         "bad",
         "590 Peer Delivery ERROR U (NO VALID RCPTs!!)",
         "*--*--* NO VALID RCPTs!!"},
        {"recipient without @ (never sendable), its line feed shown escaped",
         {"h", "HELO gw.example", "a@b.example", "c@d.example", "local\nuser"},
         "bad",
         "590 Peer Delivery ERROR U (no \"@\" in address \"local\\x0Auser\")",
         "!!! ERROR: no \"@\" in address \"local\\x0Auser\"; not sent, filed as bad\r\n"},
    };
    ServeFake();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        Reset();
        WritePair("Inbox/", "U", row.dat, {"X", "body"});
        const MinilogRow& o = DeliverOne("Inbox/", "U");
        EXPECT_EQ(WhereIs("Inbox/", "U"), row.where);
        EXPECT_EQ(o.action, row.action);
        EXPECT_NE(LogText().find(row.log), std::string::npos) << LogText();
        EXPECT_EQ(LogText().find("*** Connecting"), std::string::npos);
    }
    EXPECT_EQ(server_.attempts, 0);
}

TEST_F(FakeSessionTest, SessionLogSwitchAndBanners) {
    ServeFake();
    S().sessionLog = false;  // only -1 switches the log on
    QueueOne("L1");
    DeliverOne("Inbox/", "L1");
    EXPECT_FALSE(Exists(delivery_->log.SessionLogPath(clock_.Now())));

    // Two windows loading in one tick: two banner blocks before any conversation line.
    S().sessionLog = true;
    outcomes_.clear();
    QueueOne("L2");
    QueueOne("L3");
    StartDelivery("Inbox/", "L2");
    StartDelivery("Inbox/", "L3");
    ASSERT_TRUE(RunUntilOutcomes(2));
    const std::string log = LogText();
    const auto second = log.find("===== TARN-OUT", 10);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(second, log.find("*** Connecting"));
}

// The fast profile holds the same conversation, log lines and minilog row as
// the classic one, but steps on events only: the whole delivery happens
// without the clock moving on, where the classic cadence needs its ticks.
// The fast profile speaks the same conversation without waiting for ticks,
// but greets with EHLO and keeps the connection for a next pair: no QUIT
// once the message is taken.
TEST_F(FakeSessionTest, FastProfileSameConversationWithoutWaitingForTicks) {
    ServeFake();
    std::string logs[2];
    std::string actions[2];
    for (int fast = 0; fast < 2; ++fast) {
        SCOPED_TRACE(fast ? "fast" : "classic");
        UseProfile(fast ? Profile::kFast : Profile::kClassic);
        QueueOne("P1");
        const std::int64_t start = clock_.MonotonicMs();
        StartDelivery("Inbox/", "P1");
        for (int i = 0; i < 1000 && outcomes_.empty(); ++i) loop_.PollOnce();
        EXPECT_EQ(outcomes_.size(), fast ? 1u : 0u);
        ASSERT_TRUE(RunUntilOutcomes(1));
        EXPECT_EQ(clock_.MonotonicMs() == start, fast == 1);
        EXPECT_EQ(WhereIs("Inbox/", "P1"), "trash");
        logs[fast] = LogText();
        logs[fast].erase(logs[fast].find("Session started:"), 37);  // the time differs
        actions[fast] = audit_.rows.back().action;
        Reset();
    }
    std::string classic = logs[0];
    classic.replace(classic.find("HELO gateway"), 4, "EHLO");
    classic.erase(classic.find("#1 *--B->R QUIT"));
    EXPECT_EQ(classic, logs[1]);
    EXPECT_EQ(actions[0], actions[1]);
}

// The domain runs from the first "@" to the next; an address without one fails.
TEST(DeliveryHelpers, GetDomain) {
    ErrorState err;
    EXPECT_EQ(GetDomain("a@b@c", err), "b");
    EXPECT_EQ(GetDomain("", err), "");
    EXPECT_FALSE(err.Failed());
    EXPECT_EQ(GetDomain("nobody", err), "");
    EXPECT_TRUE(err.Failed());
}

}  // namespace
}  // namespace bw::test
