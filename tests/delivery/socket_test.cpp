// The TCP socket against real listeners on 127.0.0.1: events come on the
// loop, never inside the call that caused them.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/loop.h"
#include "tests/support/mariadb_server.h"
#include "tests/support/smtp_peer.h"

namespace bw {
namespace {

class SocketTest : public ::testing::Test {
  protected:
    bool Pump(const std::function<bool()>& done) {
        for (int i = 0; i < 5000 && !done(); ++i) {
            loop_.PollOnce();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    }
    SystemClock clock_;
    Loop loop_{clock_};
};

TEST_F(SocketTest, ConnectsSendsReceivesAndSeesTheCloseWithEventsOnTheLoop) {
    test::SmtpPeer peer;
    peer.Send("220 hi\r\n").Expect("NOOP").Send("250 ok\r\n").Drop();
    peer.Start();
    auto s = NewTcpSocket(loop_);
    std::size_t arrived = 0;
    int sent = 0;
    bool closed = false;
    bool inCall = false;
    bool eventInsideCall = false;
    s->onDataArrival = [&](std::size_t n) {
        eventInsideCall |= inCall;
        arrived = n;
    };
    s->onSendComplete = [&] {
        eventInsideCall |= inCall;
        ++sent;
    };
    s->onClose = [&] { closed = true; };
    s->SetRemoteHost("localhost");
    s->SetRemotePort(peer.Port());
    inCall = true;
    s->Connect();
    inCall = false;
    ASSERT_TRUE(Pump([&] { return s->State() == TcpSocket::kConnected && arrived > 0; }));
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(s->RemotePort(), peer.Port());
    EXPECT_EQ(s->TakeData(), "220 hi\r\n");
    EXPECT_EQ(s->BytesReceived(), 0u);
    inCall = true;
    s->SendData("NOOP\r\n");
    inCall = false;
    EXPECT_EQ(sent, 0);
    ASSERT_TRUE(Pump([&] { return sent == 1 && closed; }));
    EXPECT_EQ(s->TakeData(), "250 ok\r\n");
    EXPECT_EQ(s->State(), TcpSocket::kPeerClosing);
    EXPECT_FALSE(eventInsideCall);
}

TEST_F(SocketTest, RefusedConnectionRaisesErrorLater) {
    auto s = NewTcpSocket(loop_);
    long number = 0;
    s->onError = [&](long n, const std::string&) { number = n; };
    s->SetRemoteHost("127.0.0.1");
    s->SetRemotePort(test::FreeLocalPort());
    s->Connect();
    EXPECT_EQ(number, 0);
    ASSERT_TRUE(Pump([&] { return number != 0; }));
    EXPECT_EQ(s->State(), TcpSocket::kError);
    // Sending on a socket that is not connected is an error event too, not a crash.
    number = 0;
    s->SendData("x");
    EXPECT_EQ(number, 0);
    ASSERT_TRUE(Pump([&] { return number != 0; }));
}

// A socket closed (or destroyed) with work pending delivers nothing more.
TEST_F(SocketTest, NoEventsAfterOurClose) {
    test::SmtpPeer sink;
    sink.Start();
    int events = 0;
    auto t = NewTcpSocket(loop_);
    t->onDataArrival = [&](std::size_t) { ++events; };
    t->SetRemoteHost("127.0.0.1");
    t->SetRemotePort(sink.Port());
    t->Connect();
    ASSERT_TRUE(Pump([&] { return t->State() == TcpSocket::kConnected; }));
    const int before = events;
    t->Close();
    t.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < 20; ++i) loop_.PollOnce();
    EXPECT_EQ(events, before);
}

}  // namespace
}  // namespace bw
