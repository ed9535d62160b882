// Queue pairs this process must not send again (the back-off of pairs left
// in the queue: back_off.h).
//
// The sent record: a pair the server has answered at the end of data (taken,
// or refused for good) is remembered by the identity of its two files (device
// and inode) and its name until its filing has succeeded. A remembered pair is
// never sent again; only its filing is retried, once a minute. The record is
// kept in the state folder ("sent-pairs") as a log of lines ("+"
// remembers a pair, "-" forgets it), appended and synced after the server's
// answer and before the filing, emptied when no pair is left, rewritten
// through a new file renamed into place when it grows past 1 MB, and read
// back at the first use after a start, so that a restart files the pair
// without sending it. The file is opened without blocking and without
// following links, and used only when it is a regular file: a pipe, folder,
// device or link in its place is left alone, the pairs are remembered in
// memory meanwhile, and once a regular file (or none) is there again the
// whole record is written to it. With grouped syncing (the fast profile) a
// line is written at once, so it outlives a crash of the process, and one
// SyncGroup puts every line written since on the disk.
// DIAGNOSTICS: a record that cannot be read or written is said once in the
// journal (event log, warning) per kind of failure and the record then lives
// in memory only; anything but a regular file under its name is an error
// entry, said once until the record is written again (an information then).
// Nothing throws.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace bw {

class QueueFiles;

struct PairId {
    std::uint64_t datDev = 0, datIno = 0, msgDev = 0, msgIno = 0;
    auto operator<=>(const PairId&) const = default;
};

/// The identity of a claimed pair from its two file numbers; false when a
/// file cannot be looked at.
bool IdentifyPair(const QueueFiles& files, std::int16_t datFile, std::int16_t msgFile, PairId& id);

struct SentEntry {
    PairId id;
    std::string name;               // base name of the pair
    bool refused = false;           // filed to BAD, not as delivered
    std::int64_t nextFilingMs = 0;  // monotonic; 0 = at once
};

class ServiceControl;

class SentRecord {
  public:
    /// The record kept in `path` (the state folder's "sent-pairs" in the daemon), read
    /// at the first use; `journal` (may be null) hears of read and write failures.
    SentRecord(std::string path, ServiceControl* journal);
    ~SentRecord();
    SentRecord(const SentRecord&) = delete;
    SentRecord& operator=(const SentRecord&) = delete;

    /// The remembered entry for `id` with this name, or nullptr.
    SentEntry* FindSent(const PairId& id, const std::string& name);
    /// Remembers a pair (replacing an entry for the same files) and writes the record.
    void RememberSent(const SentEntry& entry);
    /// Forgets a pair once filed and writes the record.
    void ForgetSent(const PairId& id);
    /// Grouped syncing on or off (off at first); switching it off syncs.
    void SetGroupedSync(bool on);
    /// Syncs the lines written since the last sync (nothing to do without any).
    void SyncGroup();
    /// Number of remembered pairs (tests, benchmarks).
    std::size_t SentCount();

  private:
    void Journal(bool& said, std::int16_t type, const std::string& text);
    void Unusable(const std::string& kind);
    void Load();
    void WriteFailed(const std::string& what, const std::string& why);
    void CatchUp();
    bool Compact();
    bool Open();
    void Append(const std::string& line, bool sync);

    std::string path_;
    ServiceControl* journal_;
    bool loaded_ = false;
    std::map<PairId, SentEntry> sent_;
    bool saidRead_ = false;
    bool saidWrite_ = false;
    bool saidUnusable_ = false;
    bool behind_ = false;  // lines kept in memory only since the file could not be used
    int fd_ = -1;          // the record, open for appending
    bool groupedSync_ = false;
    bool unsynced_ = false;  // lines written since the last sync
};

}  // namespace bw
