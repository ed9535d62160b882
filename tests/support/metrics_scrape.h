// Reading the daemon's metrics endpoint as a Prometheus server would: one
// HTTP GET over a real TCP connection on 127.0.0.1, and the value of one
// series in the text it answered.
// DIAGNOSTICS: none; a failed request gives "", a missing series gives "".
#pragma once

#include <string>

namespace bw::test {

/// The body of GET `path` on 127.0.0.1:`port` (HTTP/1.0, so the server
/// closes when done); "" unless the answer is 200.
std::string HttpGet(int port, const std::string& path = "/metrics");

/// The value of `series` ("name" or "name{labels}" as the endpoint writes it)
/// in a scrape, as written; "" when it is missing.
std::string MetricSample(const std::string& scrape, const std::string& series);

/// A port of 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

}  // namespace bw::test
