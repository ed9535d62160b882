// Greylist housekeeping: deletes allowed triplets whose last contact is
// GreyExp days old and pending ones older than GreyFrame minutes, at most
// once a minute on the seconds-since-midnight clock. Reports nothing; a
// failed first selection drops oDBConn for the health check to rebuild.
#include <string>

#include "db/connect_string.h"
#include "db/db_session.h"
#include "db/shared_main.h"
#include "host/globals.h"
#include "host/timing.h"
#include "platform/clock.h"
#include "platform/day_serial.h"
#include "policy/policy_db.h"
#include "policy/policy_state.h"

namespace bw {

namespace {

void ExecuteIgnoringErrors(const std::string& sql) {
    ErrorState ignored;
    if (G().db.conn) G().db.conn->Execute(sql, ignored);
}

}  // namespace

void clsSharedMain::PurgeDB() {
    PolicyState& p = Policy();
    if (!Elapsed(*G().clock, p.lastPurgeTimer, 60)) return;
    p.lastPurgeTimer = G().clock->Timer();
    const double now = G().clock->Now();
    G().db.ReconnectReset();
    if (!PolicyDbOpen()) return;

    const SharedSettings& s = SharedPolicySettings();
    const std::string expired = DaySerialText(now - s.GreyExp);
    const std::string stale = DaySerialText(now - s.GreyFrame / 24.0 / 60.0);

    // Phase 1: allowed triplets whose allowance has expired.
    ErrorState err;
    const std::string allowedWhere = " AND lastcontact < '" + expired + "'";
    OpenShared("SELECT * FROM tbl_greylist WHERE allowed = -1" + allowedWhere, err);
    if (err.Failed()) {
        G().db.conn.reset();
        return;
    }
    if (G().db.rs->RecordCount() > 0) {
        ExecuteIgnoringErrors("DELETE FROM tbl_greylist WHERE allowed = -1" + allowedWhere);
    }
    CloseShared(err);

    // Phase 2: pending triplets past their frame. A failed selection still
    // issues the deletion, as if rows had been found.
    err.Clear();
    const std::string pendingWhere = " AND rectime < '" + stale + "'";
    OpenShared("SELECT * FROM tbl_greylist WHERE allowed = 0" + pendingWhere, err);
    if (err.Failed() || G().db.rs->RecordCount() > 0) {
        ExecuteIgnoringErrors("DELETE FROM tbl_greylist WHERE allowed = 0" + pendingWhere);
    }
    CloseShared(err);
}

}  // namespace bw
