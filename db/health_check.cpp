#include "db/health_check.h"

#include <string>

#include "db/audit_spool.h"
#include "db/connect_string.h"
#include "host/globals.h"
#include "platform/clock.h"
#include "platform/db.h"
#include "platform/loop.h"
#include "platform/service.h"

namespace bw {

namespace {

// Since when the primary has not answered (no outage while `since` < 0),
// when the last warning went out, and why the last attempt failed.
struct Outage {
    std::int64_t since = -1;
    std::int64_t lastWarning = -1;
    std::string lastError;
    int alternative = 0;  // the alternative in use, 0 for none
};

Outage& CurrentOutage() {
    static Outage o;
    return o;
}

std::int64_t NowMs() {
    return G().clock != nullptr ? G().clock->MonotonicMs() : 0;
}

void LogEvent(std::int16_t type, const std::string& text) {
    if (G().service != nullptr) G().service->LogEvent(type, 110, text);
}

bool ConnOpen() {
    return G().db.conn && G().db.conn->State() == DbConnection::kStateOpen;
}

void PrimaryAnswered() {
    CurrentOutage() = Outage{};
}

// The primary did not open: start or continue the outage, warn when due.
void PrimaryFailed(const ErrorState& err) {
    Outage& o = CurrentOutage();
    const std::int64_t now = NowMs();
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

void SetBackupTimer(bool on) {
    if (G().tmrBackupDB != nullptr) G().tmrBackupDB->SetEnabled(on);
}

// One reconnection pass: the primary, else the alternatives in order.
void ReconnectionPass() {
    Globals& g = G();
    ErrorState err;
    g.db.conn = g.db.factory->NewConnection();
    g.db.conn->SetConnectionTimeout(kPrimaryConnectTimeout);
    g.db.conn->ClearErrors();
    g.db.conn->SetConnectionString(GetDBConnect(""));
    g.db.conn->Open(err);
    if (ConnOpen() && !err.Failed()) {
        LogEvent(4, "Restored lost DB Connection!");
        PrimaryAnswered();
        // On the primary the return timer has nothing left to do.
        SetBackupTimer(false);
        return;
    }
    ErrorState primaryError = err;
    int i = 1;
    int openedOn = 0;
    while (i <= kMaxAlternativeDB && !ConnOpen()) {
        const std::string cs = GetDBConnect(std::to_string(i));
        if (cs.empty()) break;
        g.db.conn.reset();
        err.Clear();
        g.db.conn = g.db.factory->NewConnection();
        g.db.conn->SetConnectionString(cs);
        g.db.conn->Open(err);
        if (ConnOpen()) openedOn = i;
        ++i;
    }
    CurrentOutage().alternative = openedOn;
    if (ConnOpen()) SetBackupTimer(true);
    PrimaryFailed(primaryError);
}

}  // namespace

void ResetHealthCheck() {
    CurrentOutage() = Outage{};
}

void tmrDBCheck_Timer() {
    Globals& g = G();
    if (g.db.factory == nullptr) return;
    ErrorState err;
    if (g.db.conn) {
        g.db.conn->Execute(kDBProbe, err);
        g.db.conn->ClearErrors();
    } else {
        err.Raise(91, "No database connection object.");
    }
    if (!ConnOpen() || err.Failed()) {
        ErrorState ignored;
        if (g.db.conn) g.db.conn->Close(ignored);
        g.db.conn.reset();
    }
    if (g.db.conn) {
        // A database user (statistics counter, minilog writer, policy store)
        // may have reconnected the primary between two ticks: a healthy
        // connection on the primary string ends the outage even though no
        // pass saw it open.
        if (CurrentOutage().since >= 0 && g.db.conn->ConnectionString() == GetDBConnect("")) {
            PrimaryAnswered();
        }
        ReplayAuditSpool();
        return;
    }

    ReconnectionPass();

    // A fresh shared recordset on whatever the pass left (binding fails,
    // harmlessly, when nothing opened).
    ErrorState ignored;
    if (g.db.rs) g.db.rs->Close(ignored);
    g.db.rs.reset();
    g.db.rs = g.db.factory->NewRecordset();
    g.db.rs->SetActiveConnection(g.db.conn, ignored);
    ReplayAuditSpool();
}

void tmrBackupDB_Timer() {
    Globals& g = G();
    if (g.db.factory == nullptr) return;
    ErrorState err;
    auto probe = g.db.factory->NewConnection();
    probe->SetConnectionTimeout(kPrimaryConnectTimeout);
    probe->ClearErrors();
    probe->SetConnectionString(GetDBConnect(""));
    probe->Open(err);
    if (probe->State() == DbConnection::kStateOpen) {
        ErrorState ignored;
        probe->Execute(kDBProbe, ignored);
    }
    if (probe->State() == DbConnection::kStateOpen) {
        ErrorState ignored;
        probe->Close(ignored);
        if (g.db.conn) g.db.conn->Close(ignored);
        g.db.conn.reset();
        tmrDBCheck_Timer();
        // Switched off after the health check has run: a check that ended on
        // an alternative again (the primary failing between the probe and the
        // pass) leaves the timer off until the next outage switches it on.
        SetBackupTimer(false);
    } else {
        PrimaryFailed(err);
    }
}

}  // namespace bw
