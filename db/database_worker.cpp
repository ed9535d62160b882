#include "db/database_worker.h"

#include <utility>

#include "db/audit_spool.h"
#include "db/db_session.h"

namespace bw {

namespace {
using Steady = std::chrono::steady_clock;
constexpr auto kCheckEvery = std::chrono::milliseconds(1000);
constexpr auto kBackupEvery = std::chrono::milliseconds(5000);
}  // namespace

DatabaseWorker::DatabaseWorker(DbSession& db, AuditSpool& spool, const Clock& clock,
                               ServiceControl& events)
    : db_(db), spool_(spool), health_(db, spool, clock, events, [this](bool on) {
          // Runs on the database thread, inside the check.
          if (on && !backupOn_) nextBackup_ = Steady::now() + kBackupEvery;
          backupOn_ = on;
      }) {}

DatabaseWorker::~DatabaseWorker() {
    Stop();
}

void DatabaseWorker::Start() {
    if (thread_.joinable()) return;
    nextCheck_ = Steady::now();
    thread_ = std::thread([this] { Run(); });
}

void DatabaseWorker::Stop() {
    {
        std::lock_guard lock(m_);
        stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void DatabaseWorker::Wake() {
    {
        std::lock_guard lock(m_);
        woken_ = true;
    }
    cv_.notify_one();
}

void DatabaseWorker::Run() {
    std::unique_lock lock(m_);
    Steady::time_point due = nextCheck_;
    while (!stop_) {
        cv_.wait_until(lock, due, [this] { return stop_ || woken_; });
        if (stop_) break;
        const bool woken = std::exchange(woken_, false);
        lock.unlock();
        due = Round(woken);
        lock.lock();
    }
}

Steady::time_point DatabaseWorker::Round(bool woken) {
    const Steady::time_point now = Steady::now();
    if (now >= nextCheck_) {
        health_.tmrDBCheck_Timer();
        nextCheck_ = Steady::now() + kCheckEvery;
        Publish();
    } else if (backupOn_ && now >= nextBackup_) {
        health_.tmrBackupDB_Timer();
        nextBackup_ = Steady::now() + kBackupEvery;
        Publish();
    } else if (woken && db_.IsOpen()) {
        const std::int64_t before = spool_.Pending();
        // A batch limit reached with the database taking records: go on at
        // once, the rest of what waits is written in the next round.
        if (!spool_.Replay(db_) && spool_.Pending() < before) {
            std::lock_guard lock(m_);
            woken_ = true;
        }
    }
    return backupOn_ && nextBackup_ < nextCheck_ ? nextBackup_ : nextCheck_;
}

void DatabaseWorker::Publish() {
    const bool has = db_.HasConnection();
    onAlternative_ = backupOn_ && db_.IsOpen();
    if (hasConnection_.exchange(has) != has && changed_) changed_();
}

}  // namespace bw
