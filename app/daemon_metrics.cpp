#include "app/daemon_metrics.h"

#include <algorithm>
#include <chrono>

#include "app/daemon.h"
#include "db/audit_spool.h"
#include "db/health_check.h"
#include "delivery/delivery.h"
#include "delivery/queue_listing.h"
#include "host/exit_status.h"
#include "host/host_platform.h"
#include "host/settings.h"
#include "platform/clock.h"
#include "platform/process_stats.h"

namespace bw {

namespace {

constexpr SessionResult kResults[] = {SessionResult::kDelivered, SessionResult::kRefused,
                                      SessionResult::kLeft};
// Why a pair stays in the queue (DeliveryOutcome::left).
constexpr const char* kLeftReasons[] = {"deferred", "unreachable", "broken", "envelope",
                                        "message",  "files",       "tls",    "auth"};

// The pairs and the age of the oldest pair of each queue folder, counted now.
std::vector<ScrapedGauge> QueueGauges(const std::string& accPath) {
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::map<std::string, std::pair<int, double>> byFolder;  // pairs, oldest age
    for (const char* folder : kQueueListFolders) byFolder[folder] = {0, 0.0};
    for (const QueuedPair& p : ListQueuedPairs(accPath, now)) {
        auto& [count, oldest] = byFolder[p.folder];
        ++count;
        if (p.ageSeconds > oldest) oldest = p.ageSeconds;
    }
    ScrapedGauge pairs{"bwtarnout_queue_pairs", "Message pairs waiting in the queue folder", {}};
    ScrapedGauge age{"bwtarnout_queue_oldest_age_seconds",
                     "Age of the oldest pair in the queue folder (0 when it is empty)",
                     {}};
    for (const char* folder : kQueueListFolders) {
        const auto& [count, oldest] = byFolder[folder];
        pairs.samples.push_back({{{"folder", folder}}, static_cast<double>(count)});
        age.samples.push_back({{{"folder", folder}}, oldest});
    }
    return {pairs, age};
}

// What the database thread has done and what waits for the database, read
// at each scrape without waiting for that thread.
std::vector<ScrapedGauge> DatabaseGauges(const HealthCheck& health, const AuditSpool& spool,
                                         const Clock& clock) {
    const HealthCounts& c = health.Counts();
    const std::int64_t since = c.onAlternativeSinceMs.load();
    const double onAlternative =
        since < 0 ? 0 : static_cast<double>(clock.MonotonicMs() - since) / 1000.0;
    const double oldest = spool.OldestWhen();
    const double age = oldest > 0 ? std::max(0.0, (clock.Now() - oldest) * 86400.0) : 0;
    auto one = [](const char* name, const char* help, double value) {
        return ScrapedGauge{name, help, {{{}, value}}};
    };
    return {
        one("bwtarnout_db_reconnection_passes_total", "Reconnection passes of the health check",
            static_cast<double>(c.passes.load())),
        one("bwtarnout_db_failovers_total", "Reconnection passes that ended on an alternative",
            static_cast<double>(c.failovers.load())),
        one("bwtarnout_db_returns_to_primary_total", "Returns from an alternative to the primary",
            static_cast<double>(c.returns.load())),
        one("bwtarnout_db_alternative_seconds",
            "Seconds the daemon has been on an alternative (0 on the primary)", onAlternative),
        one("bwtarnout_audit_spool_oldest_age_seconds",
            "Age of the oldest record waiting in the audit spool (0 when none waits)", age),
        one("bwtarnout_audit_writeback_retried_total",
            "Write-backs rolled back by a deadlock, lock wait time-out or certification "
            "conflict, tried again",
            static_cast<double>(spool.Retried())),
        one("bwtarnout_audit_records_lost_total",
            "Minilog rows and counts lost: neither the disk nor memory could hold them",
            static_cast<double>(spool.Lost())),
    };
}

// The process's own figures, under the names Prometheus clients use for them.
std::vector<ScrapedGauge> ProcessGauges() {
    const ProcessStats p = ReadProcessStats();
    const auto one = [](const char* name, const char* help, double value) {
        return ScrapedGauge{name, help, {{{}, value}}};
    };
    return {
        one("process_start_time_seconds", "Start time of the process since the epoch (s)",
            p.startTimeSeconds),
        one("process_cpu_seconds_total", "User and system CPU time spent (s)", p.cpuSeconds),
        one("process_resident_memory_bytes", "Resident memory size (bytes)", p.residentBytes),
        one("process_virtual_memory_bytes", "Virtual memory size (bytes)", p.virtualBytes),
        one("process_open_fds", "Open file descriptors", p.openFds),
        one("process_max_fds", "Most file descriptors the process may open", p.maxFds),
    };
}

}  // namespace

DaemonMetrics::DaemonMetrics(const std::string& accPath, int sessionsRunning)
    : sessionsActive_(endpoint_.Gauge("bwtarnout_sessions_active", "SMTP sessions running now")),
      sessionSeconds_(endpoint_.Histogram(
          "bwtarnout_session_duration_seconds", "Duration of the SMTP sessions that ended",
          {std::begin(kSessionSecondsBuckets), std::end(kSessionSecondsBuckets)})),
      claims_(endpoint_.Histogram("bwtarnout_claims_per_scan",
                                  "Pairs claimed by one pass over a queue that found work",
                                  {std::begin(kClaimsBuckets), std::end(kClaimsBuckets)})),
      dbConnected_(endpoint_.Gauge("bwtarnout_db_connected",
                                   "1 while the database connection is open, else 0")),
      dbString_(endpoint_.Gauge("bwtarnout_db_connection_string",
                                "Connection string in use: 0 DBConnect.dat, n DBConnect<n>.dat, "
                                "-1 none open")),
      spoolRecords_(endpoint_.Gauge("bwtarnout_audit_spool_records",
                                    "Audit records waiting in the spool for the database")),
      lastDelivery_(endpoint_.Gauge("bwtarnout_last_delivery_timestamp_seconds",
                                    "When the server last took a message (seconds since the "
                                    "epoch; 0: none since the start)")),
      bodyBytes_(endpoint_.Counter("bwtarnout_body_bytes_total",
                                   "Message body bytes written to the servers (as sent)")) {
    endpoint_
        .Gauge("bwtarnout_build_info", "The daemon's version, as a label; always 1",
               {{"version", PackageVersion()}})
        .Set(1);
    endpoint_.AddScraped(ProcessGauges);
    for (const char* queue : {"Inbox", "Outbox"}) {
        for (SessionResult r : kResults) Messages(queue, r);
        for (const char* reason : kLeftReasons) LeftCounter(queue, reason);
    }
    sessionsActive_.Set(sessionsRunning);
    dbString_.Set(-1);
    endpoint_.AddScraped([accPath] { return QueueGauges(accPath); });
}

// The counter of two labels' values in a family, made at its first use.
MetricCounter& DaemonMetrics::PairCounter(CounterFamily& family, const char* name, const char* help,
                                          std::pair<const char*, const char*> labels,
                                          const std::string& first, const std::string& second) {
    const auto key = std::make_pair(first, second);
    auto it = family.find(key);
    if (it == family.end()) {
        it = family
                 .emplace(key, endpoint_.Counter(name, help,
                                                 {{labels.first, first}, {labels.second, second}}))
                 .first;
    }
    return it->second;
}

MetricCounter& DaemonMetrics::Messages(const std::string& queue, SessionResult result) {
    return PairCounter(messages_, "bwtarnout_messages_total",
                       "Messages whose session ended, by queue and result", {"queue", "result"},
                       queue, SessionResultName(result));
}

MetricCounter& DaemonMetrics::LeftCounter(const std::string& queue, const std::string& reason) {
    return PairCounter(left_, "bwtarnout_left_total",
                       "Messages left in the queue for a later attempt, by queue and why",
                       {"queue", "reason"}, queue, reason);
}

void DaemonMetrics::Left(const std::string& queue, const char* reason) {
    LeftCounter(queue, reason).Increment();
}

void DaemonMetrics::Replied(const std::string& server, char replyClass) {
    const std::string cls = replyClass == '0' ? "none" : std::string(1, replyClass) + "xx";
    PairCounter(replies_, "bwtarnout_replies_total",
                "Server replies judged, by server and class (none: missing or not SMTP)",
                {"server", "class"}, server, cls)
        .Increment();
}

void DaemonMetrics::Connected(const std::string& server, const std::string& version,
                              const std::string& cipher) {
    PairCounter(connections_, "bwtarnout_connections_total",
                "Connections set up to the servers, by server and TLS version (none: clear text)",
                {"server", "tls"}, server, version.empty() ? "none" : version)
        .Increment();
    if (version.empty()) return;
    PairCounter(ciphers_, "bwtarnout_tls_connections_total",
                "Connections set up with TLS, by TLS version and cipher", {"version", "cipher"},
                version, cipher)
        .Increment();
}

void DaemonMetrics::BodySent(std::uint64_t bytes) {
    bodyBytes_.Increment(static_cast<double>(bytes));
}

void DaemonMetrics::SessionStarted() {
    sessionsActive_.Increment();
}

void DaemonMetrics::SessionEnded(const std::string& queue, SessionResult result, double seconds) {
    sessionsActive_.Decrement();
    Messages(queue, result).Increment();
    if (result == SessionResult::kDelivered) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        lastDelivery_.Set(std::chrono::duration<double>(now).count());
    }
    sessionSeconds_.Observe(seconds);
}

void DaemonMetrics::Claimed(int pairs) {
    claims_.Observe(pairs);
}

void DaemonMetrics::DatabaseChecked(int connectionString, std::int64_t spoolRecords) {
    dbConnected_.Set(connectionString >= 0 ? 1 : 0);
    dbString_.Set(connectionString);
    spoolRecords_.Set(static_cast<double>(spoolRecords));
}

std::string MetricsListenProblem(const std::string& value) {
    if (value.empty()) return "";
    const std::string problem = ListenAddressProblem(value);
    if (problem.empty()) return "";
    return "Setting not allowed: Server\\MetricsListen = \"" + value + "\" (" + problem +
           "; allowed: host:port, e.g. 127.0.0.1:9187)";
}

std::unique_ptr<DaemonMetrics> StartDaemonMetrics(const HostPlatform& platform,
                                                  const Settings& settings, Delivery& delivery,
                                                  HealthCheck& health, const AuditSpool& spool) {
    const std::string listen = settings.GetSettingX(kAppName, "Server", "MetricsListen", "");
    if (const std::string problem = MetricsListenProblem(listen); !problem.empty()) {
        FatalStartupError(platform, problem, kExitConfig);
    }
    if (listen.empty()) return nullptr;
    auto metrics = std::make_unique<DaemonMetrics>(delivery.settings.AccPath(),
                                                   delivery.dispatcher.Sessions().Running());
    const Clock& clock = *platform.clock;
    metrics->AddScraped([&health, &spool, &clock] { return DatabaseGauges(health, spool, clock); });
    if (const std::string problem = metrics->Serve(listen); !problem.empty()) {
        FatalStartupError(platform, "Metrics endpoint not started: " + problem, kExitFailure);
    }
    delivery.ctx.meter = metrics.get();
    DaemonMetrics* m = metrics.get();
    health.SetConnectionObserver([m, &spool](int connectionString) {
        m->DatabaseChecked(connectionString, spool.Pending());
    });
    return metrics;
}

}  // namespace bw
