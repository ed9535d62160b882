// Greylist housekeeping: deletes allowed triplets whose last contact is
// GreyExp days old and pending ones older than GreyFrame minutes, at most
// once a minute on the seconds-since-midnight clock. Reports nothing; a
// failed first selection drops the connection for the health check to rebuild.
#include <string>

#include "host/timing.h"
#include "platform/day_serial.h"
#include "policy/policy_store.h"

namespace bw {

namespace {

void ExecuteIgnoringErrors(DbSession& db, const std::string& sql) {
    ErrorState ignored;
    db.Execute(sql, ignored);
}

}  // namespace

void PolicyStore::PurgeDB() {
    if (!Elapsed(clock_, state_.lastPurgeTimer, 60)) return;
    state_.lastPurgeTimer = clock_.Timer();
    const double now = clock_.Now();
    db_.ReconnectReset();
    if (!db_.IsOpen()) return;

    const PolicySettings& s = settings;
    const std::string expired = DaySerialText(now - s.GreyExp);
    const std::string stale = DaySerialText(now - s.GreyFrame / 24.0 / 60.0);

    // Phase 1: allowed triplets whose allowance has expired.
    ErrorState err;
    const std::string allowedWhere = " AND lastcontact < '" + expired + "'";
    if (!Query("SELECT * FROM tbl_greylist WHERE allowed = -1" + allowedWhere, err)) return;
    if (rows_.RecordCount() > 0) {
        ExecuteIgnoringErrors(db_, "DELETE FROM tbl_greylist WHERE allowed = -1" + allowedWhere);
    }
    rows_.Close(err);

    // Phase 2: pending triplets past their frame. A failed selection still
    // issues the deletion, as if rows had been found.
    err.Clear();
    const std::string pendingWhere = " AND rectime < '" + stale + "'";
    rows_.Open("SELECT * FROM tbl_greylist WHERE allowed = 0" + pendingWhere, err);
    if (err.Failed() || rows_.RecordCount() > 0) {
        ExecuteIgnoringErrors(db_, "DELETE FROM tbl_greylist WHERE allowed = 0" + pendingWhere);
    }
    rows_.Close(err);
}

}  // namespace bw
