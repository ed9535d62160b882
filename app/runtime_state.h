// RuntimeState: what the daemon's parts share while it runs, made once by the
// program's entry and handed to the daemon, which gives each part its
// piece: the database session (health check, audit), the audit spool, the
// state folder (sent record) and its lock.
// DIAGNOSTICS: none; plain data.
#pragma once

#include <cstdint>
#include <string>

#include "db/audit_spool.h"
#include "db/db_session.h"
#include "platform/instance_lock.h"

namespace bw {

struct RuntimeState {
    DbSession db;      // its factory is set by the entry (tests: none or their own)
    AuditSpool spool;  // opened by the entry once this is the running instance
    std::string stateDir;
    FolderLock stateLock;  // the state folder belongs to this daemon alone
};

}  // namespace bw
