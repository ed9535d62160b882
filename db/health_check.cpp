#include "db/health_check.h"

namespace bw {

// FIXME: the health check arrives with the database layer.
void tmrDBCheck_Timer() {}
void tmrBackupDB_Timer() {}

}  // namespace bw
