// DaemonMetrics: the daemon's own metrics, served in the Prometheus text
// format at http://<MetricsListen>/metrics when the value "MetricsListen" of
// section "Server" holds "host:port" (no value: no endpoint). The delivery
// reports sessions and claims through DeliveryMeter, the database check
// reports the connection in use and the audit spool's size; all of that on
// the loop. The queue gauges are counted from the queue folders at each
// scrape, on the endpoint's thread (delivery/queue_listing.h, safe there).
// Metric names all begin "bwtarnout_", apart from the process's own
// ("process_...", read from /proc at each scrape); see the constants below.
// DIAGNOSTICS: a value that is not host:port, and an address that cannot be
// served, end the start-up (FatalStartupError): the first with kExitConfig
// ("Setting not allowed: Server\MetricsListen = ..."), the second with
// kExitFailure (the address may be free again on the service's restart).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "delivery/delivery_meter.h"
#include "platform/metrics_endpoint.h"

namespace bw {

class AuditSpool;
class HealthCheck;
class Settings;
struct Delivery;
struct HostPlatform;

/// Upper bounds of the session duration histogram (s): 1 ms to 300 s.
inline constexpr double kSessionSecondsBuckets[] = {
    0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300};
/// Upper bounds of the claims-per-scan histogram.
inline constexpr double kClaimsBuckets[] = {0, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};

class DaemonMetrics final : public DeliveryMeter {
  public:
    /// `accPath`: the account folder (ending in "/") whose queues are counted;
    /// `sessionsRunning`: the sessions already loaded (the queue timer runs
    /// from the session's start).
    DaemonMetrics(const std::string& accPath, int sessionsRunning);

    void SessionStarted() override;
    void SessionEnded(const std::string& queue, SessionResult result, double seconds) override;
    void Claimed(int pairs) override;
    void Left(const std::string& queue, const char* reason) override;
    void Replied(const std::string& server, char replyClass) override;
    void Connected(const std::string& server, const std::string& version,
                   const std::string& cipher) override;
    void BodySent(std::uint64_t bytes) override;
    /// After each database check: the connection string in use (0 primary, n
    /// alternative n, -1 none) and the records waiting in the audit spool.
    void DatabaseChecked(int connectionString, std::int64_t spoolRecords);

    /// Adds gauges computed at each scrape (before Serve).
    void AddScraped(ScrapeFunction scrape) { endpoint_.AddScraped(std::move(scrape)); }
    /// Starts serving; "" or why it cannot (MetricsEndpoint::Serve).
    std::string Serve(const std::string& address) { return endpoint_.Serve(address); }

  private:
    using CounterFamily = std::map<std::pair<std::string, std::string>, MetricCounter>;
    MetricCounter& PairCounter(CounterFamily& family, const char* name, const char* help,
                               std::pair<const char*, const char*> labels, const std::string& first,
                               const std::string& second);
    MetricCounter& Messages(const std::string& queue, SessionResult result);
    MetricCounter& LeftCounter(const std::string& queue, const std::string& reason);

    MetricsEndpoint endpoint_;
    CounterFamily messages_;     // by queue and result
    CounterFamily left_;         // by queue and why
    CounterFamily replies_;      // by server and reply class
    CounterFamily connections_;  // by server and TLS version ("none": clear text)
    CounterFamily ciphers_;      // TLS connections by version and cipher
    MetricGauge sessionsActive_;
    MetricHistogram sessionSeconds_;
    MetricHistogram claims_;
    MetricGauge dbConnected_;
    MetricGauge dbString_;
    MetricGauge spoolRecords_;
    MetricGauge lastDelivery_;
    MetricCounter bodyBytes_;
};

/// "" when `value` of Server\MetricsListen may be used ("" = off), else the
/// start-up error text naming it.
std::string MetricsListenProblem(const std::string& value);

/// Reads Server\MetricsListen; without a value nullptr. Otherwise makes the
/// metrics, hooks them to the delivery (ctx.meter) and the health check, and
/// serves them; ends the start-up on a bad value or an address it cannot serve.
/// The result must outlive the delivery and the health check's use of it.
std::unique_ptr<DaemonMetrics> StartDaemonMetrics(const HostPlatform& platform,
                                                  const Settings& settings, Delivery& delivery,
                                                  HealthCheck& health, const AuditSpool& spool);

}  // namespace bw
