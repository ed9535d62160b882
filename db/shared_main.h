// clsSharedMain: the gateway's shared class. The delivery uses AppPath,
// AccPath, AddMinLog and IncStats; the policy store is policy/policy_store.h.
// Every member ignores its own errors; only AddMinLog reports one (the
// connection could not be reopened). A minilog row or a count that cannot be
// written waits in the audit spool (db/audit_spool.h). Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "db/audit.h"
#include "platform/error_state.h"

namespace bw {

class clsSharedMain {
  public:
    clsSharedMain();
    ~clsSharedMain();
    clsSharedMain(const clsSharedMain&) = delete;
    clsSharedMain& operator=(const clsSharedMain&) = delete;

    // --- settings (write-only properties) -------------------------------
    void SetAccPath(const std::string& sAccPath);
    /// Overwrites the process-wide AppPath.
    void SetAppPath(const std::string& sAppPath);

    // --- minilog and statistics -----------------------------------------
    /// Adds one tbl_minilog row (or spools it). Returns a failed state only
    /// when reopening the connection failed.
    ErrorState AddMinLog(const std::string& sIP, double dTimestamp, const std::string& sFrom,
                         const std::string& sTo, const std::string& sAction);
    /// Adds lAmount to (or, with iAbsolute non-zero, sets) one tbl_stats column.
    void IncStats(const std::string& sTarnID, const std::string& sField, std::int32_t lAmount,
                  std::int16_t iAbsolute = 0);

    const std::string& AccPath() const { return sAccPath_; }

  private:
    /// Adds the record as one tbl_minilog row (reopening a closed connection
    /// first), or spools it. Failed only when the reopen failed.
    ErrorState WriteMinLog(tMinLog& t);

    std::string sAccPath_;
};

/// The audit written through the process's shared object, for this
/// installation's TarnID.
class SharedMainAudit : public Audit {
  public:
    ErrorState AddMinLog(const tMinLog& record) override;
    void IncStats(const std::string& sField, std::int32_t lAmount) override;
};

}  // namespace bw
