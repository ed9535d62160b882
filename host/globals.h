// Process-wide state. The program has one thread; every handler reaches the
// globals and the platform through G(). Tests reset it with ResetGlobals()
// and plug in fakes (manual clock, FakeService, ...).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/audit.h"
#include "db/audit_spool.h"
#include "db/db_session.h"

namespace bw {

class Clock;
class Loop;
class ServiceControl;
class SettingsFiles;
class DbFactory;
class DbConnection;
class DbRecordset;
class clsSharedMain;
class Timer;

struct Globals {
    Globals();
    ~Globals();
    Globals(const Globals&) = delete;
    Globals& operator=(const Globals&) = delete;

    // Platform, set by main (real) or by a test (fakes). Not owned.
    Clock* clock = nullptr;
    Loop* loop = nullptr;
    ServiceControl* service = nullptr;

    // Timers of the main window (owned by it): the dispatcher changes tmrQueue,
    // the health check switches tmrBackupDB on and off.
    Timer* tmrQueue = nullptr;
    Timer* tmrDBCheck = nullptr;
    Timer* tmrBackupDB = nullptr;

    // Copied from the start-up's Installation (app/) for the parts that still
    // read them here.
    std::string AppPath;  // ends with "/"
    std::string AccPath;  // AppPath + "TarnIN/"
    std::string TarnID;
    std::int16_t iUseTrash = -1;
    std::int16_t iSMTPLog = 0;
    std::string sPeer2;
    std::vector<std::string> aSMTPServers;
    std::string sForwardedList;
    std::int16_t iActiveTransfers = 0;

    // Delivery: the server port shared by all delivery windows, 0 at start.
    std::int32_t lSMTPPort = 0;
    // Delivery: "TempFailRefuses" = "1" in section "Server": a reply beginning
    // with "4" refuses the message instead of leaving it for a later attempt.
    bool bTempFailRefuses = false;

    // Database: the shared connection and recordset (kept up by the health check).
    DbSession db;
    // The audit spool of the state folder, opened at start.
    AuditSpool spool;
    // Where the delivery's minilog rows and counts go (a DbAudit on db and spool).
    std::unique_ptr<Audit> audit;

    std::unique_ptr<clsSharedMain> oShared;

    // The settings and list files read by the parts that still use G() (they
    // name the problems through `service`).
    std::unique_ptr<SettingsFiles> files;
};

Globals& G();
/// Replaces the process-wide state with a fresh one (tests).
void ResetGlobals();

}  // namespace bw
