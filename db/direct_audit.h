// DirectAudit: the audit for a one-shot program (bwpolicy): each minilog row
// and count is written to the database at once through the session's
// connection, reopened when it is closed. Nothing is kept for later: a row
// that cannot be written is reported, a count that cannot be written is lost
// (the running daemon, whose rows must never be lost, spools them instead:
// db/db_audit.h).
// DIAGNOSTICS: AddMinLog returns the failure of the reopen or the write.
#pragma once

#include <cstdint>
#include <string>

#include "db/audit.h"

namespace bw {

class Clock;
class DbSession;

class DirectAudit final : public Audit {
  public:
    DirectAudit(DbSession& db, const Clock& clock, std::string tarnId);

    ErrorState AddMinLog(const MinilogRow& record) override;
    void IncStats(const std::string& field, std::int32_t amount) override;

  private:
    DbSession& db_;
    const Clock& clock_;
    std::string tarnId_;
};

}  // namespace bw
