// The minilog writer and the statistics counter of clsSharedMain. A row or a
// count that cannot be written goes to the audit spool (db/audit_spool.h);
// while the spool holds records, new ones queue behind them.
#include <cctype>

#include "db/audit_spool.h"
#include "platform/day_serial.h"
#include "db/db_session.h"
#include "db/shared_main.h"
#include "host/globals.h"
#include "platform/clock.h"
#include "platform/db.h"

namespace bw {

ErrorState clsSharedMain::AddMinLog(const std::string& sIP, double dTimestamp,
                                    const std::string& sFrom, const std::string& sTo,
                                    const std::string& sAction) {
    tMinLog t{sIP, dTimestamp, sFrom, sTo, sAction};
    return WriteMinLog(t);
}

namespace {

double NowSerial() {
    static SystemClock systemClock;
    const Clock& clock = G().clock != nullptr ? *G().clock : systemClock;
    return clock.Now();
}

// True when the spool is empty, so a new record may go to the table directly.
bool SpoolDrained() {
    return AuditSpoolPending() == 0 || ReplayAuditSpool();
}

}  // namespace

ErrorState clsSharedMain::WriteMinLog(tMinLog& t) {
    Globals& g = G();
    const double now = NowSerial();
    ErrorState reopenError;
    if (!G().db.ReconnectReopen(reopenError)) {
        SpoolMinLog(now, t.sIP, t.sFrom, t.sTo, t.sAction);
        return reopenError;
    }
    if (!SpoolDrained()) {
        SpoolMinLog(now, t.sIP, t.sFrom, t.sTo, t.sAction);
        return {};
    }

    ErrorState err;
    if (g.db.rs) {
        g.db.rs->SetSource("SELECT * FROM tbl_minilog LIMIT 1");
        g.db.rs->Open(err);
    } else {
        err.Raise(91, "No shared recordset.");
    }
    if (err.Failed()) {
        // Typically the recordset is still bound to a connection that a
        // fresh reconnection replaced: drop the connection, the health check
        // rebuilds both within a second and writes the spooled row.
        g.db.conn.reset();
        SpoolMinLog(now, t.sIP, t.sFrom, t.sTo, t.sAction);
        return {};
    }
    g.db.rs->AddNew(err);
    g.db.rs->SetField("ipaddress", t.sIP, err);
    g.db.rs->SetField("timestamp", FixDecimal(DaySerialText(now)), err);
    g.db.rs->SetField("mailfrom", t.sFrom, err);
    g.db.rs->SetField("mailto", t.sTo, err);
    g.db.rs->SetField("action", t.sAction, err);
    g.db.rs->Update(err);
    // A failed store is spooled. Should the server have stored the row but
    // its answer been lost, the row is written twice: the one case where a
    // row can be doubled.
    if (err.Failed()) SpoolMinLog(now, t.sIP, t.sFrom, t.sTo, t.sAction);
    ErrorState ignored;
    g.db.rs->Close(ignored);
    return {};
}

namespace {

// Column names go into the statement bare; anything but a plain name would
// change the statement, so it is not sent at all.
bool IsPlainColumnName(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    }
    return true;
}

}  // namespace

void clsSharedMain::IncStats(const std::string& sTarnID, const std::string& sField,
                             std::int32_t lAmount, std::int16_t iAbsolute) {
    Globals& g = G();
    if (!IsPlainColumnName(sField)) return;
    const double now = NowSerial();
    if (!G().db.ReconnectFresh() || !SpoolDrained()) {
        SpoolStats(now, sTarnID, sField, lAmount, iAbsolute);
        return;
    }
    ErrorState err;
    DbCommand cmd;
    cmd.SetActiveConnection(g.db.conn, err);
    const std::string amount = std::to_string(lAmount);
    const std::string tarnid = g.db.conn->Escape(sTarnID);
    if (iAbsolute != 0) {
        cmd.SetCommandText("UPDATE tbl_stats SET " + sField + "=" + amount + " WHERE tarnid = '" +
                           tarnid + "'");
    } else {
        cmd.SetCommandText("UPDATE tbl_stats SET " + sField + "=" + sField + "+" + amount +
                           " WHERE tarnid = '" + tarnid + "'");
    }
    cmd.Execute(err);
    // The count waits in the spool; the health check rebuilds the connection.
    if (err.Failed()) {
        g.db.conn.reset();
        SpoolStats(now, sTarnID, sField, lAmount, iAbsolute);
    }
}

}  // namespace bw
