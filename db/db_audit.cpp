#include "db/db_audit.h"

#include <utility>

#include "db/audit_records.h"
#include "db/audit_spool.h"
#include "platform/clock.h"

namespace bw {

DbAudit::DbAudit(AuditSpool& spool, const Clock& clock, std::string tarnId,
                 std::function<void()> spooled)
    : spool_(spool), clock_(clock), tarnId_(std::move(tarnId)), spooled_(std::move(spooled)) {}

void DbAudit::SetGrouped(bool on) {
    grouped_ = on;
    spool_.SetGroupedSync(on);
}

void DbAudit::Spooled() {
    // Grouped records are handed on with their group, once they are flushed.
    if (!grouped_ && spooled_) spooled_();
}

void DbAudit::FlushGroup() {
    spool_.Sync();
    if (spool_.Pending() > 0 && spooled_) spooled_();
}

ErrorState DbAudit::AddMinLog(const MinilogRow& t) {
    ErrorState err;
    if (!spool_.IsOpen()) {
        err.Raise(-2147467259, "No audit spool: the minilog row is lost.");
        return err;
    }
    spool_.AppendMinLog(clock_.Now(), t.ip, t.from, t.to, t.action);
    Spooled();
    return err;
}

ErrorState DbAudit::AddCountedMinLog(const MinilogRow& t, const std::string& field) {
    if (!IsPlainColumnName(field)) return AddMinLog(t);
    ErrorState err;
    if (!spool_.IsOpen()) {
        err.Raise(-2147467259, "No audit spool: the minilog row and its count are lost.");
        return err;
    }
    spool_.AppendMinLogAndStats(clock_.Now(), t.ip, t.from, t.to, t.action, tarnId_, field);
    Spooled();
    return err;
}

void DbAudit::IncStats(const std::string& field, std::int32_t amount) {
    if (!IsPlainColumnName(field)) return;
    spool_.AppendStats(clock_.Now(), tarnId_, field, amount, 0);
    Spooled();
}

}  // namespace bw
