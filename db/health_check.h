// The database health check (tmrDBCheck, every second) and the return to the
// primary database (tmrBackupDB, every 5 s while an alternative is in use).
// Both ignore every error; their only outputs are the shared connection, the
// event-log entry "Restored lost DB Connection!" and tmrBackupDB's state.
#pragma once

namespace bw {

void tmrDBCheck_Timer();
void tmrBackupDB_Timer();

}  // namespace bw
