// DbAudit: the audit in the database, as the delivery sees it. A minilog row
// or a count is appended to the audit spool (db/audit_spool.h) and handed on
// without waiting: the database thread (db/database_worker.h) writes the
// spool back to tbl_minilog (with the time the row was meant for) and to this
// installation's tbl_stats row as soon as the database takes it, in the order
// of events, each record once. So the delivery never waits for the database:
// "written before the sent record" means "spooled before it".
//
// Grouped (the fast profile): a record is written to the spool file at once
// (it outlives the process) but flushed to the disk only at FlushGroup, once
// per group; otherwise each record is flushed as it is appended.
// DIAGNOSTICS: AddMinLog is failed when no spool is open (the row is lost);
// everything else is silent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "db/audit.h"

namespace bw {

class AuditSpool;
class Clock;

class DbAudit final : public Audit {
  public:
    /// `tarnId` names this installation's tbl_stats row; `spooled` (may be
    /// empty) is told that records wait, without waiting itself.
    DbAudit(AuditSpool& spool, const Clock& clock, std::string tarnId,
            std::function<void()> spooled = {});

    ErrorState AddMinLog(const MinilogRow& record) override;
    /// Adds amount to one tbl_stats column. A field that is no plain column
    /// name is never sent.
    void IncStats(const std::string& field, std::int32_t amount) override;
    /// The row and the count go to the spool in one write.
    ErrorState AddCountedMinLog(const MinilogRow& record, const std::string& field) override;

    /// Grouped flushing on or off (off at first).
    void SetGrouped(bool on) override;
    /// The end of a group: flushes the spool and hands it on.
    void FlushGroup() override;

  private:
    void Spooled();

    AuditSpool& spool_;
    const Clock& clock_;
    std::string tarnId_;
    std::function<void()> spooled_;
    bool grouped_ = false;
};

}  // namespace bw
