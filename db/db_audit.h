// DbAudit: the audit in the database. A minilog row goes to tbl_minilog with
// the time of writing, a count to this installation's tbl_stats row. A row or
// a count that cannot be written goes to the audit spool (db/audit_spool.h);
// while the spool holds records, new ones queue behind them, so the tables
// keep the order of events.
//
// Grouped (the fast profile): rows and counts go to the spool only, written
// to its file at once but not flushed, with no database round trip; each
// FlushGroup flushes the spool once and writes what it holds back in a few
// statements (one transaction per batch). While the database is away the
// records stay in the spool and the health check writes them back as usual.
// DIAGNOSTICS: AddMinLog is failed only when the closed connection could not
// be reopened (the row is spooled then too; never when grouped); everything
// else is silent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "db/audit.h"

namespace bw {

class AuditSpool;
class Clock;
class DbConnection;
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

    /// Grouped writing on or off (off at first); switches the spool's grouped
    /// flushing with it. Without an open spool rows and counts are written
    /// directly, as when it is off.
    void SetGrouped(bool on);
    /// The end of a group: flushes the spool, then writes it back when the
    /// connection is open or reopens (a connection object that failed to
    /// reopen is left to the health check).
    void FlushGroup();

  private:
    /// True when the spool is empty, so a new record may go to the table directly.
    bool SpoolDrained();
    /// Stores the row through the shared recordset; false when it did not open.
    bool StoreRow(const tMinLog& record, double now, ErrorState& err);

    DbSession& db_;
    AuditSpool& spool_;
    const Clock& clock_;
    std::string tarnId_;
    bool grouped_ = false;
    std::weak_ptr<DbConnection> reopenFailed_;
};

}  // namespace bw
