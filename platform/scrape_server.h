// ScrapeServer: the HTTP side of the metrics endpoint, on a thread of its own
// with an Asio loop apart from the daemon's. It answers "GET <path>" with a
// page made at each request ("GET /" with a small page linking to it) and
// closes every connection after its answer (HTTP/1.0 and 1.1 alike, no
// keep-alive).
//
// It stays answerable while others hold connections open, idle or talking
// slowly: every connection is accepted at once and waits on the loop, not on
// a thread of its own; its request head (at most kMaxRequestBytes) must have
// arrived within `requestMs` of the accept, and at most `maxConnections` are
// held: one more accepted closes the one that has waited longest for its
// request. A scraper, which sends its request as it connects, is answered at
// once however many connections others hold.
// DIAGNOSTICS: Listen returns why the address cannot be listened on ("" when
// it listens). Nothing else is reported: a request that is malformed, too
// long or too slow gets an HTTP error (400, 404, 405, 408, 431) or is closed.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace bw {

/// Upper bound of a request head (request line and header lines).
inline constexpr std::size_t kMaxRequestBytes = 8192;

struct ScrapeLimits {
    int maxConnections = 64;  // held at once
    int requestMs = 2000;     // from the accept to the end of the request head
    int answerMs = 10000;     // to write the answer
};

class ScrapeServer {
  public:
    /// `page` makes the body at each request, on the server's thread.
    ScrapeServer(std::string path, std::function<std::string()> page, ScrapeLimits limits = {});
    /// Closes every connection and ends the thread; no page is made after it.
    ~ScrapeServer();
    ScrapeServer(const ScrapeServer&) = delete;
    ScrapeServer& operator=(const ScrapeServer&) = delete;

    /// Listens on `host` (an IPv4 address or host name; with `ipv6`, an IPv6
    /// address) and `port`, and starts serving. "" when it listens, else why not.
    std::string Listen(const std::string& host, bool ipv6, const std::string& port);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bw
