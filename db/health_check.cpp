#include "db/health_check.h"

#include <utility>

#include "db/audit_spool.h"
#include "db/db_session.h"
#include "platform/clock.h"
#include "platform/service.h"

namespace bw {

HealthCheck::HealthCheck(DbSession& db, AuditSpool& spool, const Clock& clock,
                         ServiceControl& events, BackupTimerSwitch setBackupTimer)
    : db_(db),
      spool_(spool),
      clock_(clock),
      events_(events),
      setBackupTimer_(std::move(setBackupTimer)) {
    if (!setBackupTimer_) setBackupTimer_ = [](bool) {};
}

void HealthCheck::LogEvent(std::int16_t type, const std::string& text) {
    events_.LogEvent(type, 110, text);
}

bool HealthCheck::ConnOpen() const {
    return db_.IsOpen();
}

void HealthCheck::PrimaryAnswered() {
    outage_ = Outage{};
    counts_.onAlternativeSinceMs = -1;
}

// The primary did not open: start or continue the outage, warn when due.
void HealthCheck::PrimaryFailed(const ErrorState& err) {
    Outage& o = outage_;
    const std::int64_t now = clock_.MonotonicMs();
    if (err.Failed()) o.lastError = err.description;
    if (o.since < 0) o.since = now;
    const std::int64_t down = now - o.since;
    const bool due =
        o.lastWarning < 0 ? down >= kOutageWarnAfterMs : now - o.lastWarning >= kOutageWarnEveryMs;
    if (!due) return;
    o.lastWarning = now;
    std::string text = "DB Connection Problem: " +
                       (o.lastError.empty() ? std::string("no connection string") : o.lastError) +
                       " (the primary database has not answered for " +
                       std::to_string(down / 60000) + " minutes; ";
    text += o.alternative > 0 ? "working on DBConnect" + std::to_string(o.alternative) + ".dat)"
                              : "no database is reachable, retrying every second)";
    LogEvent(2, text);
}

bool HealthCheck::OpenPrimary() {
    ErrorState err;
    if (db_.OpenPrimary(kPrimaryConnectTimeout, err)) return true;
    if (err.Failed()) outage_.lastError = err.description;
    return false;
}

int HealthCheck::OpenAlternative() {
    return db_.OpenAlternative();
}

// One reconnection pass: the primary, else the alternatives in order.
void HealthCheck::ReconnectionPass() {
    ++counts_.passes;
    if (OpenPrimary()) {
        LogEvent(4, "Restored lost DB Connection!");
        PrimaryAnswered();
        // On the primary the return timer has nothing left to do.
        setBackupTimer_(false);
        return;
    }
    outage_.alternative = OpenAlternative();
    if (ConnOpen()) {
        ++counts_.failovers;
        if (counts_.onAlternativeSinceMs < 0) counts_.onAlternativeSinceMs = clock_.MonotonicMs();
        setBackupTimer_(true);
    }
    PrimaryFailed(ErrorState{});
}

void HealthCheck::tmrDBCheck_Timer() {
    if (!db_.HasFactory()) return;
    if (db_.KeepIfAnswering()) {
        // A database user (statistics counter, minilog writer, policy store)
        // may have reconnected the primary between two ticks: a healthy
        // connection on the primary string ends the outage even though no
        // pass saw it open.
        if (outage_.since >= 0 && db_.ConnectionString() == db_.PrimaryString()) {
            PrimaryAnswered();
        }
        spool_.Replay(db_);
        TellObserver();
        return;
    }

    ReconnectionPass();

    // A fresh shared recordset on whatever the pass left (binding fails,
    // harmlessly, when nothing opened).
    db_.RebuildRecordset();
    spool_.Replay(db_);
    TellObserver();
}

// An outage that found an alternative keeps its number until the primary
// answers again (a pass or a database user back on the primary string ends it).
void HealthCheck::TellObserver() {
    if (observer_) observer_(ConnOpen() ? outage_.alternative : -1);
}

void HealthCheck::tmrBackupDB_Timer() {
    if (!db_.HasFactory()) return;
    ErrorState err;
    // The primary is returned to only once it answers a query on the tables.
    if (db_.PrimaryAnswers(kPrimaryConnectTimeout, err)) {
        db_.CloseConnection();
        ++counts_.returns;
        tmrDBCheck_Timer();
        // Switched off after the health check has run: a check that ended on
        // an alternative again (the primary failing between the probe and the
        // pass) leaves the timer off until the next outage switches it on.
        setBackupTimer_(false);
    } else {
        PrimaryFailed(err);
    }
}

}  // namespace bw
