// The metrics endpoint over real TCP on 127.0.0.1: what it answers to each
// kind of request, and that a scrape is answered while others hold many
// connections open.
#include "platform/metrics_endpoint.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/metrics_scrape.h"

namespace bw::test {
namespace {

class MetricsEndpointTest : public ::testing::Test {
  protected:
    void Serve(const ScrapeLimits& limits = {}) {
        endpoint_.Counter("bwtest_events_total", "Events seen").Increment(3);
        ASSERT_EQ(endpoint_.Serve("127.0.0.1:" + std::to_string(port_), limits), "");
    }
    MetricsEndpoint endpoint_;
    const int port_ = FreeLoopbackPort();
};

// Held connections took the endpoint's threads for up to 30 s each, so with
// a few hundred held (idle, or sending their request a piece at a time) no
// scrape was answered. Now every connection waits on the server's loop, only
// so many are held (the oldest still without a request make room), and a
// scrape is answered at once.
TEST_F(MetricsEndpointTest, ScrapeIsAnsweredWhileHundredsOfConnectionsAreHeld) {
    Serve();
    std::vector<int> held = HoldConnections(port_, 50, "GET /metr");
    const std::vector<int> idle = HoldConnections(port_, 300);
    held.insert(held.end(), idle.begin(), idle.end());
    const std::string reply = HttpExchange(port_, "GET /metrics HTTP/1.0\r\n\r\n", 5000);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("\nbwtest_events_total 3\n"), std::string::npos) << reply;
    int closed = 0;
    for (const int fd : held) {
        EXPECT_GE(fd, 0) << "a connection was not taken";
        closed += fd < 0 || ClosedByServer(fd) ? 1 : 0;
        if (fd >= 0) ::close(fd);
    }
    EXPECT_GE(closed, static_cast<int>(held.size()) - ScrapeLimits{}.maxConnections);
}

TEST_F(MetricsEndpointTest, EachKindOfRequestGetsItsAnswer) {
    Serve({.maxConnections = 8, .requestMs = 200, .answerMs = 1000});
    std::string tooLong = "GET /metrics HTTP/1.0\r\nX-Pad: ";
    tooLong.resize(kMaxRequestBytes, 'a');
    const struct {
        const char* label;
        std::string request;
        std::string status;
        bool body;  // the metrics follow
    } rows[] = {
        {"scrape", "GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n", "200 OK", true},
        {"query, LF line ends", "GET /metrics?x=1 HTTP/1.0\n\n", "200 OK", true},
        {"head", "HEAD /metrics HTTP/1.0\r\n\r\n", "200 OK", false},
        {"other path", "GET /other HTTP/1.0\r\n\r\n", "404 Not Found", false},
        {"landing page", "GET / HTTP/1.0\r\n\r\n", "200 OK", false},
        {"other method", "POST /metrics HTTP/1.0\r\n\r\n", "405 Method Not Allowed", false},
        {"no request line", "hello\r\n\r\n", "400 Bad Request", false},
        {"head too long", tooLong, "431 Request Header Fields Too Large", false},
        {"head never ends", "GET /metrics HTTP/1.0\r\nHost: x\r\n", "408 Request Timeout", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string reply = HttpExchange(port_, row.request, 5000);
        EXPECT_EQ(reply.rfind("HTTP/1.1 " + row.status + "\r\n", 0), 0u) << reply;
        EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("bwtest_events_total 3") != std::string::npos, row.body) << reply;
    }
    // Still serving after all of them.
    EXPECT_NE(HttpGet(port_).find("bwtest_events_total 3"), std::string::npos);
}

}  // namespace
}  // namespace bw::test
