// The minilog writer and the statistics counter of clsSharedMain.
#include <cctype>

#include "db/day_serial.h"
#include "db/reconnect.h"
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

ErrorState clsSharedMain::WriteMinLog(tMinLog& t) {
    Globals& g = G();
    ErrorState reopenError;
    if (!ReconnectReopen(reopenError)) return reopenError;

    ErrorState err;
    if (g.oDBRS) {
        g.oDBRS->SetSource("SELECT * FROM tbl_minilog LIMIT 1");
        g.oDBRS->Open(err);
    } else {
        err.Raise(91, "No shared recordset.");
    }
    if (err.Failed()) {
        // Typically the recordset is still bound to a connection that a
        // fresh reconnection replaced: drop the connection, the health check
        // rebuilds both within a second. The row is lost.
        g.oDBConn.reset();
        return {};
    }
    static SystemClock systemClock;
    const Clock& clock = g.clock != nullptr ? *g.clock : systemClock;
    g.oDBRS->AddNew(err);
    g.oDBRS->SetField("ipaddress", t.sIP, err);
    g.oDBRS->SetField("timestamp", FixDecimal(DaySerialText(clock.Now())), err);
    g.oDBRS->SetField("mailfrom", t.sFrom, err);
    g.oDBRS->SetField("mailto", t.sTo, err);
    g.oDBRS->SetField("action", t.sAction, err);
    g.oDBRS->Update(err);
    g.oDBRS->Close(err);
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
    if (!ReconnectFresh()) return;
    ErrorState err;
    DbCommand cmd;
    cmd.SetActiveConnection(g.oDBConn, err);
    const std::string amount = std::to_string(lAmount);
    const std::string tarnid = g.oDBConn->Escape(sTarnID);
    if (iAbsolute != 0) {
        cmd.SetCommandText("UPDATE tbl_stats SET " + sField + "=" + amount + " WHERE tarnid = '" +
                           tarnid + "'");
    } else {
        cmd.SetCommandText("UPDATE tbl_stats SET " + sField + "=" + sField + "+" + amount +
                           " WHERE tarnid = '" + tarnid + "'");
    }
    cmd.Execute(err);
    // The count is lost; the health check rebuilds the connection.
    if (err.Failed()) g.oDBConn.reset();
}

}  // namespace bw
