// The write-back of a batch of audit spool records: one transaction that
// reads the spool's high-water mark in tbl_auditmark (making that table on an
// installation whose schema predates it), writes the records above it
// (db/audit_records.h) and moves the mark past them, so a batch whose COMMIT
// reached the server but whose answer was lost is never written twice.
// DIAGNOSTICS: `warn` hears of lines that are no record and of records the
// database refuses (once per refused record); a deadlock, a lock wait
// time-out or a certification conflict is counted in `state.retried`.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "db/audit_records.h"

namespace bw {

class DbSession;

struct SpoolWriteback {
    long long lastRefused = 0;          // the first record of the last refused statement
    std::atomic<long long> retried{0};  // batches rolled back to be tried again
};

/// Writes `batch` of the spool `spoolId` in one transaction; true when it committed.
bool WriteSpoolBatch(DbSession& db, const std::string& spoolId,
                     const std::vector<SpoolRecord>& batch, SpoolWriteback& state,
                     const std::function<void(const std::string&)>& warn);

}  // namespace bw
