#include "db/db_audit.h"

#include <utility>

#include "db/audit_records.h"
#include "db/audit_spool.h"
#include "db/db_session.h"
#include "platform/clock.h"
#include "platform/day_serial.h"
#include "platform/db.h"

namespace bw {

DbAudit::DbAudit(DbSession& db, AuditSpool& spool, const Clock& clock, std::string tarnId)
    : db_(db), spool_(spool), clock_(clock), tarnId_(std::move(tarnId)) {}

bool DbAudit::SpoolDrained() {
    return spool_.Pending() == 0 || spool_.Replay(db_);
}

void DbAudit::SetGrouped(bool on) {
    grouped_ = on;
    spool_.SetGroupedSync(on);
}

void DbAudit::FlushGroup() {
    spool_.Sync();
    if (spool_.Pending() == 0) return;
    if (!db_.IsOpen()) {
        // One reopen per connection object: against a server that is away
        // every group would wait for the connection timeout again.
        if (!db_.conn || reopenFailed_.lock() == db_.conn) return;
        if (!db_.ReconnectReopen()) {
            reopenFailed_ = db_.conn;
            return;
        }
    }
    spool_.Replay(db_);
}

ErrorState DbAudit::AddMinLog(const tMinLog& t) {
    const double now = clock_.Now();
    if (grouped_ && spool_.IsOpen()) {
        spool_.AppendMinLog(now, t.sIP, t.sFrom, t.sTo, t.sAction);
        return {};
    }
    ErrorState reopenError;
    if (!db_.ReconnectReopen(reopenError)) {
        spool_.AppendMinLog(now, t.sIP, t.sFrom, t.sTo, t.sAction);
        return reopenError;
    }
    ErrorState err;
    if (!SpoolDrained() || !StoreRow(t, now, err)) {
        spool_.AppendMinLog(now, t.sIP, t.sFrom, t.sTo, t.sAction);
        return {};
    }
    // A failed store is spooled. Should the server have stored the row but
    // its answer been lost, the row is written twice: the one case where a
    // row can be doubled.
    if (err.Failed()) spool_.AppendMinLog(now, t.sIP, t.sFrom, t.sTo, t.sAction);
    ErrorState ignored;
    db_.rs->Close(ignored);
    return {};
}

bool DbAudit::StoreRow(const tMinLog& t, double now, ErrorState& err) {
    if (db_.rs) {
        db_.rs->SetSource("SELECT * FROM tbl_minilog LIMIT 1");
        db_.rs->Open(err);
    } else {
        err.Raise(91, "No shared recordset.");
    }
    if (err.Failed()) {
        // Typically the recordset is still bound to a connection that a
        // fresh reconnection replaced: drop the connection, the health check
        // rebuilds both within a second and writes the spooled row.
        db_.conn.reset();
        return false;
    }
    DbRecordset& rs = *db_.rs;
    rs.AddNew(err);
    rs.SetField("ipaddress", t.sIP, err);
    rs.SetField("timestamp", FixDecimal(DaySerialText(now)), err);
    rs.SetField("mailfrom", t.sFrom, err);
    rs.SetField("mailto", t.sTo, err);
    rs.SetField("action", t.sAction, err);
    rs.Update(err);
    return true;
}

void DbAudit::IncStats(const std::string& sField, std::int32_t lAmount) {
    Count(sField, lAmount, false);
}

void DbAudit::Count(const std::string& sField, std::int32_t lAmount, bool bAbsolute) {
    if (!IsPlainColumnName(sField)) return;
    const double now = clock_.Now();
    const std::int16_t absolute = bAbsolute ? -1 : 0;
    if (grouped_ && spool_.IsOpen()) {
        spool_.AppendStats(now, tarnId_, sField, lAmount, absolute);
        return;
    }
    if (!db_.ReconnectFresh() || !SpoolDrained()) {
        spool_.AppendStats(now, tarnId_, sField, lAmount, absolute);
        return;
    }
    const std::string amount = std::to_string(lAmount);
    const std::string set = bAbsolute ? amount : sField + "+" + amount;
    ErrorState err;
    DbCommand cmd;
    cmd.SetActiveConnection(db_.conn, err);
    cmd.SetCommandText("UPDATE tbl_stats SET " + sField + "=" + set + " WHERE tarnid = '" +
                       db_.conn->Escape(tarnId_) + "'");
    cmd.Execute(err);
    // The count waits in the spool; the health check rebuilds the connection.
    if (err.Failed()) {
        db_.conn.reset();
        spool_.AppendStats(now, tarnId_, sField, lAmount, absolute);
    }
}

}  // namespace bw
