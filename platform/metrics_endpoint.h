// MetricsEndpoint: the daemon's own metrics in the Prometheus text format,
// served over HTTP at /metrics on one "host:port" address (prometheus-cpp's
// registry and text format; the HTTP side is our ScrapeServer, which answers
// on a thread of its own and stays answerable while others hold connections).
// Counters, gauges and histograms are made once before serving and then set
// from the loop; their updates are atomic, so a scrape may read them at any
// time. Scraped gauges are computed by a function on the server's thread at
// each scrape: it must only touch what is safe from any thread.
// DIAGNOSTICS: ListenAddressProblem and Serve return the problem as text
// ("" when there is none); the caller ends the start-up with it. A failed
// scraped function shows as a scrape without its samples.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/scrape_server.h"

namespace prometheus {
class Collectable;
class Counter;
class Gauge;
class Histogram;
class Registry;
}  // namespace prometheus

namespace bw {

using MetricLabels = std::map<std::string, std::string>;

class MetricCounter {
  public:
    void Increment(double by = 1);

  private:
    friend class MetricsEndpoint;
    explicit MetricCounter(prometheus::Counter& c) : c_(&c) {}
    prometheus::Counter* c_;
};

class MetricGauge {
  public:
    void Set(double value);
    void Increment();
    void Decrement();

  private:
    friend class MetricsEndpoint;
    explicit MetricGauge(prometheus::Gauge& g) : g_(&g) {}
    prometheus::Gauge* g_;
};

class MetricHistogram {
  public:
    void Observe(double value);

  private:
    friend class MetricsEndpoint;
    explicit MetricHistogram(prometheus::Histogram& h) : h_(&h) {}
    prometheus::Histogram* h_;
};

/// One gauge family computed at scrape time.
struct ScrapedGauge {
    std::string name;
    std::string help;
    std::vector<std::pair<MetricLabels, double>> samples;
};
using ScrapeFunction = std::function<std::vector<ScrapedGauge>()>;

/// "" when `text` is "host:port": an IPv4 address or host name, or an IPv6
/// address in brackets, then a port from 1 to 65535; else what is wrong.
std::string ListenAddressProblem(const std::string& text);

class MetricsEndpoint {
  public:
    MetricsEndpoint();
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    /// One metric of the family `name`; a family is made by its first metric.
    MetricCounter Counter(const std::string& name, const std::string& help,
                          const MetricLabels& labels = {});
    MetricGauge Gauge(const std::string& name, const std::string& help,
                      const MetricLabels& labels = {});
    /// `bounds`: the upper bounds of the buckets, rising.
    MetricHistogram Histogram(const std::string& name, const std::string& help,
                              const std::vector<double>& bounds);
    /// Adds gauges computed at each scrape (before Serve).
    void AddScraped(ScrapeFunction scrape);

    /// Serves /metrics on `address` (ListenAddressProblem(address) == "").
    /// "" when it listens, else why not (the address cannot be bound).
    std::string Serve(const std::string& address, const ScrapeLimits& limits = {});

  private:
    std::string Scrape() const;

    std::shared_ptr<prometheus::Registry> registry_;
    std::vector<std::shared_ptr<prometheus::Collectable>> scraped_;
    std::unique_ptr<ScrapeServer> server_;
};

}  // namespace bw
