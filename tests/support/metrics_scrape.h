// Reading the daemon's metrics endpoint as a Prometheus server would: one
// HTTP GET over a real TCP connection on 127.0.0.1, and the value of one
// series in the text it answered. No call waits for ever on a server that
// does not answer.
// DIAGNOSTICS: none; a failed request gives "", a missing series gives "".
#pragma once

#include <string>
#include <vector>

namespace bw::test {

/// The body of GET `path` on 127.0.0.1:`port` (HTTP/1.0, so the server
/// closes when done); "" unless the answer is 200.
std::string HttpGet(int port, const std::string& path = "/metrics");

/// Sends `request` to 127.0.0.1:`port` and returns everything the server
/// wrote until it closed; "" when nothing came. No step (connect, write, each
/// read) waits longer than `waitMs`.
std::string HttpExchange(int port, const std::string& request, int waitMs = 10000);

/// `n` connections to 127.0.0.1:`port` that keep silent, as clients holding
/// a server do, each after sending `start` (if anything). Those not made
/// within 2 s in all are -1. The caller closes the others.
std::vector<int> HoldConnections(int port, int n, const std::string& start = "");

/// True when the server has closed a held connection (end of stream or reset).
bool ClosedByServer(int fd);

/// The value of `series` ("name" or "name{labels}" as the endpoint writes it)
/// in a scrape, as written; "" when it is missing.
std::string MetricSample(const std::string& scrape, const std::string& series);

/// A port of 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

}  // namespace bw::test
