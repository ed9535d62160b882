#include "platform/metrics_endpoint.h"

#include <arpa/inet.h>
#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <exception>
#include <sstream>
#include <utility>

#include "platform/ascii_text.h"
#include "platform/scrape_server.h"

namespace bw {

namespace {

struct HostPort {
    std::string host;  // without brackets
    bool ipv6 = false;
    std::string port;
};

// Splits "host:port" / "[v6]:port"; "" or the problem.
std::string Split(const std::string& text, HostPort& out) {
    std::size_t colon = 0;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return "no \"]\" after the IPv6 address";
        out.host = text.substr(1, close - 1);
        out.ipv6 = true;
        colon = close + 1;
        if (colon >= text.size() || text[colon] != ':') return "no \":port\" after \"]\"";
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos) return "no \":port\"";
        out.host = text.substr(0, colon);
    }
    out.port = text.substr(colon + 1);
    return "";
}

std::string HostProblem(const HostPort& hp) {
    if (hp.host.empty()) return "no host before the port";
    unsigned char addr[16];
    if (hp.ipv6) {
        return inet_pton(AF_INET6, hp.host.c_str(), addr) == 1 ? "" : "not an IPv6 address";
    }
    if (inet_pton(AF_INET, hp.host.c_str(), addr) == 1) return "";
    // A host name: letters, digits, '-' and '.', with a letter somewhere (a
    // dotted number that is no IPv4 address is no name either).
    bool letter = false;
    for (char c : hp.host) {
        const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        letter = letter || alpha;
        if (!alpha && !(c >= '0' && c <= '9') && c != '-' && c != '.') {
            return "not an IPv4 address or host name (an IPv6 address goes in brackets)";
        }
    }
    if (!letter || hp.host.size() > 253 || hp.host[0] == '-' || hp.host[0] == '.') {
        return "not an IPv4 address or host name";
    }
    return "";
}

std::string PortProblem(const std::string& port) {
    const long n = WholeNumber(port, 5);
    return n >= 1 && n <= 65535 ? "" : "the port is not a number from 1 to 65535";
}

// Gauges computed by a function at each scrape.
class ScrapedCollectable final : public prometheus::Collectable {
  public:
    explicit ScrapedCollectable(ScrapeFunction scrape) : scrape_(std::move(scrape)) {}

    std::vector<prometheus::MetricFamily> Collect() const override {
        std::vector<prometheus::MetricFamily> out;
        std::vector<ScrapedGauge> gauges;
        try {
            gauges = scrape_();
        } catch (const std::exception&) {
            return out;
        }
        for (const ScrapedGauge& g : gauges) {
            prometheus::MetricFamily family{g.name, g.help, prometheus::MetricType::Gauge, {}};
            for (const auto& [labels, value] : g.samples) {
                prometheus::ClientMetric m;
                for (const auto& [name, text] : labels) m.label.push_back({name, text});
                m.gauge.value = value;
                family.metric.push_back(std::move(m));
            }
            out.push_back(std::move(family));
        }
        return out;
    }

  private:
    ScrapeFunction scrape_;
};

}  // namespace

void MetricCounter::Increment(double by) {
    c_->Increment(by);
}
void MetricGauge::Set(double value) {
    g_->Set(value);
}
void MetricGauge::Increment() {
    g_->Increment();
}
void MetricGauge::Decrement() {
    g_->Decrement();
}
void MetricHistogram::Observe(double value) {
    h_->Observe(value);
}

std::string ListenAddressProblem(const std::string& text) {
    HostPort hp;
    std::string problem = Split(text, hp);
    if (problem.empty()) problem = HostProblem(hp);
    if (problem.empty()) problem = PortProblem(hp.port);
    return problem;
}

MetricsEndpoint::MetricsEndpoint() : registry_(std::make_shared<prometheus::Registry>()) {}

MetricsEndpoint::~MetricsEndpoint() {
    server_.reset();  // no scrape runs once the metrics go
}

MetricCounter MetricsEndpoint::Counter(const std::string& name, const std::string& help,
                                       const MetricLabels& labels) {
    auto& family = prometheus::BuildCounter().Name(name).Help(help).Register(*registry_);
    return MetricCounter(family.Add(labels));
}

MetricGauge MetricsEndpoint::Gauge(const std::string& name, const std::string& help,
                                   const MetricLabels& labels) {
    auto& family = prometheus::BuildGauge().Name(name).Help(help).Register(*registry_);
    return MetricGauge(family.Add(labels));
}

MetricHistogram MetricsEndpoint::Histogram(const std::string& name, const std::string& help,
                                           const std::vector<double>& bounds) {
    auto& family = prometheus::BuildHistogram().Name(name).Help(help).Register(*registry_);
    return MetricHistogram(family.Add({}, prometheus::Histogram::BucketBoundaries(bounds)));
}

void MetricsEndpoint::AddScraped(ScrapeFunction scrape) {
    scraped_.push_back(std::make_shared<ScrapedCollectable>(std::move(scrape)));
}

// The text of one scrape: the registry and every scraped family.
std::string MetricsEndpoint::Scrape() const {
    std::vector<prometheus::MetricFamily> families = registry_->Collect();
    for (const auto& c : scraped_) {
        for (auto& family : c->Collect()) families.push_back(std::move(family));
    }
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, families);
    return out.str();
}

std::string MetricsEndpoint::Serve(const std::string& address, const ScrapeLimits& limits) {
    HostPort hp;
    if (std::string problem = Split(address, hp); !problem.empty()) return address + ": " + problem;
    server_ = std::make_unique<ScrapeServer>(
        "/metrics", [this] { return Scrape(); }, limits);
    if (std::string problem = server_->Listen(hp.host, hp.ipv6, hp.port); !problem.empty()) {
        server_.reset();
        return address + ": " + problem;
    }
    return "";
}

}  // namespace bw
