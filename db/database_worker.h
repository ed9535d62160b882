// DatabaseWorker: the daemon's one database thread. It owns every use of the
// database connection while the daemon runs: the health check every second
// (probe, reconnection passes, the alternatives), the return to the primary
// every 5 s while an alternative is in use, and the write-back of the audit
// spool, at each check and as soon as records are spooled. The delivery's
// loop never waits for it: it appends rows and counts to the spool
// (db/db_audit.h), calls Wake(), and reads the connection's state here
// without waiting, so a database that holds its commits (a Galera membership
// change, a global read lock) or does not answer at all never holds up mail.
// DIAGNOSTICS: as the health check and the spool (journal lines); nothing
// here throws.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "db/health_check.h"

namespace bw {

class AuditSpool;
class Clock;
class DbSession;
class ServiceControl;

class DatabaseWorker {
  public:
    DatabaseWorker(DbSession& db, AuditSpool& spool, const Clock& clock, ServiceControl& events);
    ~DatabaseWorker();
    DatabaseWorker(const DatabaseWorker&) = delete;
    DatabaseWorker& operator=(const DatabaseWorker&) = delete;

    /// The health check run on the thread; set its observer before Start().
    HealthCheck& Health() { return health_; }
    /// Told on the database thread when a connection object comes or goes.
    void SetConnectionChanged(std::function<void()> changed) { changed_ = std::move(changed); }

    /// Starts the thread (the first check runs at once). The session and the
    /// spool belong to the thread from here until Stop().
    void Start();
    /// Ends the thread after the statement it runs; returns when it has.
    void Stop();
    /// Records wait in the spool: write them back soon. Never waits.
    void Wake();

    /// A connection object exists (it may be closed): the delivery claims
    /// pairs only then.
    bool HasConnection() const { return hasConnection_.load(); }
    /// The connection in use is an alternative.
    bool OnAlternative() const { return onAlternative_.load(); }

  private:
    void Run();
    /// One round: the check when due, else the return probe when due, else
    /// the write-back when woken. Returns when the next round is due.
    std::chrono::steady_clock::time_point Round(bool woken);
    void Publish();

    DbSession& db_;
    AuditSpool& spool_;
    HealthCheck health_;
    std::function<void()> changed_;
    bool backupOn_ = false;  // the return to the primary is due every 5 s
    std::chrono::steady_clock::time_point nextCheck_{};
    std::chrono::steady_clock::time_point nextBackup_{};

    std::mutex m_;
    std::condition_variable cv_;
    bool woken_ = false;
    bool stop_ = false;
    std::thread thread_;
    std::atomic<bool> hasConnection_{false};
    std::atomic<bool> onAlternative_{false};
};

}  // namespace bw
