// The audit spool: minilog rows and statistics increments that could not be
// written to the database wait here, in the file "audit.spool" of the state
// folder, and are written later in the order they happened, each exactly
// once.
//
// A record that cannot be written (no connection, a failed statement) is
// appended as one text line with the time it was meant to be written and a
// sequence number, and flushed to disk before the call returns. With grouped
// flushing (the fast profile, where every row and count comes through here)
// the line is written at once, so it outlives the process, and one Sync
// flushes everything appended since the last one. While the spool holds
// records, new ones join it behind them, so the table keeps the order of
// events. Whenever the shared connection is open (each health-check tick,
// before each new row or count, each group of the fast profile) the spool is
// written back in batches (db/audit_records.h: the rows as multi-row
// INSERTs, the counts summed into one UPDATE per column); each batch runs in
// one transaction together with the spool's high-water mark in tbl_auditmark
// (one row per spool, keyed by a random spool id in the file's first line).
// A batch skips every record at or below the mark, so a batch whose COMMIT
// reached the server but whose answer was lost, or whose records were still
// in the file when the daemon died, is never written twice. When every
// record is written the file is emptied down to its first line, which keeps
// the id and the next sequence number.
//
// The file is opened relative to the state folder, without blocking and never
// through a link (platform/safe_open.h), and must be a regular file with one
// link. It is bounded (kAuditSpoolLimit by default): a record that does not
// fit is dropped. When the disk refuses a write (full, failing), records wait
// in memory (8 MB at most), in order, and are written back to the database
// from there; the file is tried again once a second. Records given together
// (a delivery's row and count) go out in one write.
//
// Two threads use a spool: the delivery appends, the database thread writes
// back (db/database_worker.h). The file's offsets and counts are kept under a
// lock that is never held across a database statement.
//
// DIAGNOSTICS: Open returns a failed state when the state folder
// or the spool cannot be used (the daemon then refuses to start). The event
// log gets a warning when the spool is full (once, and once more with the
// number of records dropped when it has room again), when the disk refuses
// writes (once; and once more when it takes them again, with the number of
// records lost if memory could not hold them all), when 1,000 records wait
// (and a line when none waits again), for a torn last record found at the
// start, and one warning per
// refusal of the database, naming the records of the refused statement (the
// replay then stops there and is retried on every tick until the cause is
// removed). Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/error_state.h"

namespace bw {

class DbSession;
class ServiceControl;
class AuditSpoolFile;

/// The spool file's name in the state folder.
inline constexpr const char* kAuditSpoolName = "audit.spool";
/// Upper bound of the spool file (bytes).
inline constexpr std::int64_t kAuditSpoolLimit = 100LL * 1024 * 1024;

class AuditSpool {
  public:
    AuditSpool();
    ~AuditSpool();
    AuditSpool(const AuditSpool&) = delete;
    AuditSpool& operator=(const AuditSpool&) = delete;

    /// Creates the state folder if it is missing and opens (or creates) the
    /// spool in it; `events` hears the warnings. Replaces a spool opened
    /// before. Failed when the folder is not a folder or not writable, or the
    /// spool is not a regular file, is unreadable, or its first line is not a
    /// spool header.
    ErrorState Open(const std::string& stateDir, ServiceControl& events,
                    std::int64_t limitBytes = kAuditSpoolLimit);
    /// Flushes and closes the spool (records stay in the file). Without an open spool,
    /// records that cannot be written are lost.
    void Close();

    /// True while a spool is open.
    bool IsOpen() const { return file_ != nullptr; }
    /// Records waiting in the spool, in its file or in memory (0 without a spool).
    std::int64_t Pending() const;
    /// Records dropped since the spool was full (cleared when it has room again).
    std::int64_t Dropped() const;
    /// Records lost since the start because neither the disk nor the memory
    /// bound could hold them.
    std::int64_t Lost() const;
    /// Write-backs rolled back for a deadlock, a lock wait time-out or a
    /// certification conflict, since the start.
    long long Retried() const;
    /// The time (day-serial number) the oldest waiting record was meant for; 0 when none waits.
    double OldestWhen() const;

    /// Appends a minilog row meant for time `when` (day-serial number).
    void AppendMinLog(double when, const std::string& ip, const std::string& from,
                      const std::string& to, const std::string& action);
    /// Appends a statistics change: amount added to (absolute non-zero: set
    /// as) the column field of the installation tarnId.
    void AppendStats(double when, const std::string& tarnId, const std::string& field,
                     std::int32_t amount, std::int16_t absolute);

    /// Appends a minilog row and an increment of one in field, in one write,
    /// so that no crash keeps one without the other.
    void AppendMinLogAndStats(double when, const std::string& ip, const std::string& from,
                              const std::string& to, const std::string& action,
                              const std::string& tarnId, const std::string& field);

    /// Grouped flushing on or off (off at first; kept across Open). Switching
    /// it off flushes what waits.
    void SetGroupedSync(bool on);
    /// Flushes the records appended since the last flush to disk (nothing
    /// to do without new ones, or when every record is flushed as it comes).
    void Sync();

    /// Writes back what the spool holds while the session's connection is
    /// open. True when the spool is empty afterwards.
    bool Replay(DbSession& db);

  private:
    std::unique_ptr<AuditSpoolFile> file_;
    bool groupedSync_ = false;
};

}  // namespace bw
