// HealthCheck: the database health check (tmrDBCheck, every second) and the
// return to the primary database (tmrBackupDB, every 5 s while an
// alternative is in use).
// The check probes the session's connection with "SELECT * FROM tbl_stats
// LIMIT 1"; when the probe fails it drops the connection and makes one
// reconnection pass: the primary string (5 s to connect), then the
// alternatives 1 to 50 in order until one opens and answers the same probe
// (a connection counts as working only then: when it is opened, at each
// check, and before the return to the primary). It then rebuilds the
// session's recordset on the new connection. Every tick that ends with an
// open connection writes back the audit spool (db/audit_spool.h). Every tick
// ends by telling the connection observer, if any, which string is in use.
//
// DIAGNOSTICS: both ignore every database error. The event log gets
// "Restored lost DB Connection!" (information) each time the primary opens,
// and a warning "DB Connection Problem: ..." when the primary has not
// answered for 2 minutes, repeated every hour while it stays away. The
// program retries for ever; it never ends because of the database.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "db/db_session.h"
#include "platform/error_state.h"

namespace bw {

class AuditSpool;
class Clock;
class ServiceControl;

/// Connection timeout (s) of the primary attempt and of the return probe.
inline constexpr int kPrimaryConnectTimeout = 5;
/// The primary unreachable this long gives the first warning (ms) ...
inline constexpr std::int64_t kOutageWarnAfterMs = 2 * 60 * 1000;
/// ... and then one warning per this period while it stays away (ms).
inline constexpr std::int64_t kOutageWarnEveryMs = 60 * 60 * 1000;

/// What the checks have done since the start, read by the metrics from any thread.
struct HealthCounts {
    std::atomic<long long> passes{0};     // reconnection passes
    std::atomic<long long> failovers{0};  // passes that ended on an alternative
    std::atomic<long long> returns{0};    // returns to the primary from an alternative
    std::atomic<std::int64_t> onAlternativeSinceMs{-1};  // monotonic; -1 on the primary
};

class HealthCheck {
  public:
    /// Switches the return timer (tmrBackupDB) on or off.
    using BackupTimerSwitch = std::function<void(bool on)>;
    /// Told at the end of each check which connection string is in use: 0 the
    /// primary (DBConnect.dat), n the alternative DBConnect<n>.dat, -1 none is open.
    using ConnectionObserver = std::function<void(int connectionString)>;

    HealthCheck(DbSession& db, AuditSpool& spool, const Clock& clock, ServiceControl& events,
                BackupTimerSwitch setBackupTimer);

    /// tmrDBCheck: probe, reconnect when needed, write back the spool.
    void tmrDBCheck_Timer();
    /// tmrBackupDB: back to the primary as soon as it answers.
    void tmrBackupDB_Timer();

    void SetConnectionObserver(ConnectionObserver observer) { observer_ = std::move(observer); }
    const HealthCounts& Counts() const { return counts_; }

  private:
    void ReconnectionPass();
    /// True when the primary opened; the connection is left on it either way.
    bool OpenPrimary();
    /// Walks the alternatives; the one that opened, or 0.
    int OpenAlternative();
    void PrimaryAnswered();
    void PrimaryFailed(const ErrorState& err);
    bool ConnOpen() const;
    void LogEvent(std::int16_t type, const std::string& text);
    void TellObserver();

    DbSession& db_;
    AuditSpool& spool_;
    const Clock& clock_;
    ServiceControl& events_;
    BackupTimerSwitch setBackupTimer_;
    ConnectionObserver observer_;
    HealthCounts counts_;

    // Since when the primary has not answered (no outage while `since` < 0),
    // when the last warning went out, and why the last attempt failed.
    struct Outage {
        std::int64_t since = -1;
        std::int64_t lastWarning = -1;
        std::string lastError;
        int alternative = 0;  // the alternative in use, 0 for none
    };
    Outage outage_;
};

}  // namespace bw
