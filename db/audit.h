// Audit: where the results of the delivery go, one minilog row and one
// statistics count per message. The database implementation writes them to
// tbl_minilog and tbl_stats and keeps what cannot be written in the audit
// spool (db/audit_spool.h); tests use a fake that records the calls.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error_state.h"

namespace bw {

/// One minilog entry: who, when, from, to and what happened. The table row
/// carries the time of writing, not `when`.
struct MinilogRow {
    std::string ip;   // the peer's address; the delivery puts "BWTarnOut" here
    double when = 0;  // day-serial number
    std::string from;
    std::string to;
    std::string action;  // "900 Delivered ...", "590 Peer Delivery ERROR ...", ...
};

class Audit {
  public:
    virtual ~Audit() = default;
    /// Adds one tbl_minilog row (or spools it). Failed only when the
    /// connection could not be reopened; the row is spooled then too.
    virtual ErrorState AddMinLog(const MinilogRow& record) = 0;
    /// Adds amount to one tbl_stats column of this installation (or spools it).
    virtual void IncStats(const std::string& field, std::int32_t amount) = 0;
    /// A delivery's row and its count of one in `field`, together: where
    /// they are kept for later, one record, so a crash never parts them.
    virtual ErrorState AddCountedMinLog(const MinilogRow& record, const std::string& field) {
        IncStats(field, 1);
        return AddMinLog(record);
    }
    /// Writes made durable in groups (on) or each at once (off, at first).
    virtual void SetGrouped(bool /*on*/) {}
    /// The end of a group: what was written since is made durable.
    virtual void FlushGroup() {}
};

}  // namespace bw
