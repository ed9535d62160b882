// The database health check (tmrDBCheck, every second) and the return to the
// primary database (tmrBackupDB, every 5 s while an alternative is in use).
// The health check probes G().db.conn with "SELECT * FROM tbl_stats LIMIT 1";
// when the probe fails it drops the connection and makes one reconnection
// pass: the primary string (5 s to connect), then the alternatives 1 to 50 in
// order until one opens. It then rebuilds G().db.rs on the new connection.
// Every tick that ends with an open connection writes back the audit spool
// (db/audit_spool.h).
//
// DIAGNOSTICS: both ignore every database error. The event log gets
// "Restored lost DB Connection!" (information) each time the primary opens,
// and a warning "DB Connection Problem: ..." when the primary has not
// answered for 2 minutes, repeated every hour while it stays away. The
// program retries for ever; it never ends because of the database.
#pragma once

#include <cstdint>

namespace bw {

void tmrDBCheck_Timer();
void tmrBackupDB_Timer();

/// The probe statement of both timers.
inline constexpr const char* kDBProbe = "SELECT * FROM tbl_stats LIMIT 1";
/// Connection timeout (s) of the primary attempt and of the return probe.
inline constexpr int kPrimaryConnectTimeout = 5;
/// The primary unreachable this long gives the first warning (ms) ...
inline constexpr std::int64_t kOutageWarnAfterMs = 2 * 60 * 1000;
/// ... and then one warning per this period while it stays away (ms).
inline constexpr std::int64_t kOutageWarnEveryMs = 60 * 60 * 1000;

/// Forgets the outage bookkeeping (tests; a new process starts without it).
void ResetHealthCheck();

}  // namespace bw
