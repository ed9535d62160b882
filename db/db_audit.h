// DbAudit: the audit in the database. A minilog row goes to tbl_minilog with
// the time of writing, a count to this installation's tbl_stats row. A row or
// a count that cannot be written goes to the audit spool (db/audit_spool.h);
// while the spool holds records, new ones queue behind them, so the tables
// keep the order of events.
// DIAGNOSTICS: AddMinLog is failed only when the closed connection could not
// be reopened (the row is spooled then too); everything else is silent.
#pragma once

#include <cstdint>
#include <string>

#include "db/audit.h"

namespace bw {

class AuditSpool;
class Clock;
class DbSession;

class DbAudit final : public Audit {
  public:
    /// `tarnId` names this installation's tbl_stats row.
    DbAudit(DbSession& db, AuditSpool& spool, const Clock& clock, std::string tarnId);

    ErrorState AddMinLog(const tMinLog& record) override;
    void IncStats(const std::string& sField, std::int32_t lAmount) override;
    /// Adds lAmount to (with bAbsolute: sets) one tbl_stats column. A field
    /// that is no plain column name is never sent.
    void Count(const std::string& sField, std::int32_t lAmount, bool bAbsolute);

  private:
    /// True when the spool is empty, so a new record may go to the table directly.
    bool SpoolDrained();
    /// Stores the row through the shared recordset; false when it did not open.
    bool StoreRow(const tMinLog& record, double now, ErrorState& err);

    DbSession& db_;
    AuditSpool& spool_;
    const Clock& clock_;
    std::string tarnId_;
};

}  // namespace bw
