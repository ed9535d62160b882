// The fast profile's conversation against a server on 127.0.0.1: EHLO and
// what the server offers (PIPELINING, SIZE, 8BITMIME), HELO after a refused
// EHLO, one connection carrying many messages, a server that closes between
// two of them. Whatever happens, every pair is filed once with one row.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/delivery/delivery_fixture.h"
#include "tests/support/smtp_peer.h"

namespace bw::test {
namespace {

using Strings = std::vector<std::string>;

class ModernConversationTest : public DeliveryTest {
  protected:
    void SetUp() override {
        DeliveryTest::SetUp();
        UseProfile(Profile::kFast);
        S().maxSessions = 1;  // one session: its connection carries every pair
    }
    void Serve(SmtpPeer& p) {
        p.Start();
        S().smtpServers = {"127.0.0.1:" + std::to_string(p.Port())};
    }
    void Queue(const std::string& name, const Strings& msg = {"X-Queue: 1", "", "hello"}) {
        WritePair("Inbox/", name, Envelope("alice@ext.example", {"bob@corp.example"}), msg);
    }
    // Watches the queue until each of `n` pairs has its row and the idle
    // connections have ended: one row per pair, no file left open.
    void DeliverAll(std::size_t n) {
        ASSERT_FALSE(parts_->Start().Failed());
        StartQueueTimer();  // the rescan
        ASSERT_TRUE(RunUntil([&] { return audit_.rows.size() >= n; }, 60000)) << LogText();
        RunFor(3000);
        EXPECT_EQ(audit_.rows.size(), n);
        EXPECT_EQ(delivery_->files.OpenFileNoCount(), 0);
        EXPECT_EQ(Sessions().Live(), 0) << LogText();
    }
    std::string ActionOf(const std::string& name) const {
        for (const MinilogRow& r : audit_.rows) {
            if (r.action.find(" " + name + " ") != std::string::npos ||
                r.action.ends_with(" " + name)) {
                return r.action;
            }
        }
        return "";
    }
    static std::size_t Count(const Strings& lines, const std::string& prefix) {
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.starts_with(prefix); }));
    }
};

// A server offering PIPELINING, SIZE and 8BITMIME: one connection and one
// EHLO for every pair, the size named, an 8-bit body announced, and a message
// larger than the server's limit refused before anything of it is sent.
TEST_F(ModernConversationTest, WhatTheServerOffersIsUsedOverOneConnection) {
    SmtpPeer peer;
    peer.AnswerEhloWith("250-sink\r\n250-PIPELINING\r\n250-SIZE 2000\r\n250 8BITMIME\r\n");
    Serve(peer);
    Queue("A");
    Queue("B", {"Subject: caf\xc3\xa9", "", "8-bit"});
    Queue("C", {"Subject: big", "", std::string(3000, 'x')});
    Queue("D");
    DeliverAll(4);
    EXPECT_EQ(peer.Connections(), 1);
    const Strings commands = peer.Commands();
    EXPECT_EQ(Count(commands, "EHLO gateway.example"), 1u);
    EXPECT_EQ(Count(commands, "HELO"), 0u);
    EXPECT_EQ(Count(commands, "RSET"), 0u);
    EXPECT_EQ(Count(commands, "MAIL FROM: <alice@ext.example> SIZE=21"), 2u);  // A, D
    EXPECT_EQ(Count(commands, "MAIL FROM: <alice@ext.example> SIZE=25 BODY=8BITMIME"), 1u);
    EXPECT_EQ(Count(commands, "MAIL FROM:"), 3u);
    EXPECT_EQ(peer.Messages(), 3u);
    EXPECT_TRUE(peer.Errors().empty());
    for (const char* name : {"A", "B", "D"}) {
        EXPECT_EQ(WhereIs("Inbox/", name), "trash") << name;
        EXPECT_TRUE(ActionOf(name).starts_with("900 Delivered")) << ActionOf(name);
    }
    EXPECT_EQ(WhereIs("Inbox/", "C"), "bad");
    EXPECT_EQ(ActionOf("C"),
              "590 Peer Delivery ERROR C (SIZE: message of 3018 bytes, the server takes at "
              "most 2000)");
}

// A server that knows no EHLO is greeted with HELO; one that offers nothing
// gets the commands one at a time and no parameters.
TEST_F(ModernConversationTest, RefusedEhloFallsBackToHeloAndNothingOfferedIsUsed) {
    SmtpPeer peer;
    peer.Send("220 mx\r\n")
        .Expect("EHLO gateway.example")
        .Send("502 5.5.2 unknown command\r\n")
        .Expect("HELO gateway.example")
        .Send("250 hi\r\n")
        .Expect("MAIL FROM")
        .Send("250 ok\r\n")
        .Expect("RCPT TO")
        .Send("250 ok\r\n")
        .Expect("DATA")
        .Send("354 go\r\n")
        .ExpectBody()
        .Send("250 queued\r\n")
        .Expect("QUIT")
        .Send("221 bye\r\n");
    Serve(peer);
    Queue("A");
    DeliverAll(1);
    EXPECT_TRUE(peer.Errors().empty()) << peer.Errors().front();
    EXPECT_EQ(peer.Commands(), (Strings{"EHLO gateway.example", "HELO gateway.example",
                                        "MAIL FROM: <alice@ext.example>",
                                        "RCPT TO: <bob@corp.example>", "DATA", "QUIT"}));
    EXPECT_EQ(WhereIs("Inbox/", "A"), "trash");
}

// A server that closes after each message: the kept connection is found
// closed (idle, or at the next MAIL FROM) and a new one takes the pair; no
// pair is left, sent twice or given two rows.
TEST_F(ModernConversationTest, ServerClosingBetweenMessagesCostsNoPair) {
    SmtpPeer peer;
    peer.Send("220 mx\r\n")
        .Expect("EHLO")
        .Send("250-mx\r\n250 PIPELINING\r\n")
        .Expect("MAIL FROM")
        .Expect("RCPT TO")
        .Expect("DATA")
        .Send("250 ok\r\n250 ok\r\n354 go\r\n")
        .ExpectBody()
        .Send("250 queued\r\n")
        .Drop();
    Serve(peer);
    for (const char* name : {"A", "B", "C"}) Queue(name);
    DeliverAll(3);
    EXPECT_EQ(peer.Connections(), 3);
    EXPECT_EQ(peer.Bodies().size(), 3u);
    for (const char* name : {"A", "B", "C"}) {
        EXPECT_EQ(WhereIs("Inbox/", name), "trash") << name;
        EXPECT_TRUE(ActionOf(name).starts_with("900 Delivered")) << ActionOf(name);
    }
}

// A server that takes two connections at once (as mail servers limit the
// connections of one client) and answers a further one with 421: a pair so
// turned away goes back untouched (no row, no back-off), the sessions to the
// server drop, and every pair is delivered once.
TEST_F(ModernConversationTest, ServerTurningSessionsAwayLowersThemAndCostsNoRow) {
    S().maxSessions = 6;
    SmtpPeer peer;
    peer.LimitConnections(2);
    Serve(peer);
    for (int i = 0; i < 12; ++i) Queue("P" + std::to_string(i));
    DeliverAll(12);
    EXPECT_GT(peer.TurnedAway(), 0);
    EXPECT_EQ(peer.Messages(), 12u);
    for (const MinilogRow& r : audit_.rows) EXPECT_TRUE(r.action.starts_with("900 ")) << r.action;
    for (int i = 0; i < 12; ++i) EXPECT_EQ(WhereIs("Inbox/", "P" + std::to_string(i)), "trash");
    bool lowered = false;
    for (const auto& e : service_.events) {
        lowered = lowered || e.text.find("answers 421 at the greeting: sessions to it lowered") !=
                                 std::string::npos;
    }
    EXPECT_TRUE(lowered);
}

}  // namespace
}  // namespace bw::test
