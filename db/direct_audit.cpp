#include "db/direct_audit.h"

#include <utility>

#include "db/audit_records.h"
#include "db/db_session.h"
#include "platform/clock.h"
#include "platform/day_serial.h"

namespace bw {

DirectAudit::DirectAudit(DbSession& db, const Clock& clock, std::string tarnId)
    : db_(db), clock_(clock), tarnId_(std::move(tarnId)) {}

ErrorState DirectAudit::AddMinLog(const MinilogRow& t) {
    ErrorState err;
    if (!db_.ReconnectReopen(err)) return err;
    const std::string sql =
        "INSERT INTO tbl_minilog (ipaddress, timestamp, mailfrom, mailto, action) VALUES ('" +
        db_.Escape(t.ip) + "', '" + FixDecimal(DaySerialText(clock_.Now())) + "', '" +
        db_.Escape(t.from) + "', '" + db_.Escape(t.to) + "', '" + db_.Escape(t.action) + "')";
    db_.Execute(sql, err);
    return err;
}

void DirectAudit::IncStats(const std::string& field, std::int32_t amount) {
    if (!IsPlainColumnName(field) || !db_.ReconnectFresh()) return;
    ErrorState err;
    db_.Execute("UPDATE tbl_stats SET " + field + "=" + field + "+" + std::to_string(amount) +
                    " WHERE tarnid = '" + db_.Escape(tarnId_) + "'",
                err);
}

}  // namespace bw
