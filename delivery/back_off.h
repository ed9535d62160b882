// The back-off of pairs left in the queue: a pair left after an attempt (the
// server put it off, could not be reached, gave no usable answer; a file
// could not be read) waits 5 minutes before its next attempt, doubling with
// each further one up to an hour. The daemon keeps it in memory, on the
// monotonic clock, and a restart tries every pair at once.
//
// What it keeps is also written, for `bwtarnout --queue`, to the state
// folder's "back-off": a log of lines ("+" a pair's wait with the wall-clock
// time it ends and why, "-" its end), emptied at each start, rewritten
// through a renamed file past 1 MB, never synced (it only shows what lives
// in memory). `bwtarnout --flush` asks the daemon to drop every wait by
// making the file "flush" in the state folder; the dispatcher looks for it
// at each listing of a queue folder, and the daemon drops its back-off and
// removes the file. Both files are opened without blocking and without
// following links.
// DIAGNOSTICS: a record that cannot be written is said once in the journal
// (warning); the back-off itself goes on in memory. A flush is one
// information entry. Nothing throws.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "delivery/sent_record.h"
#include "platform/error_state.h"

namespace bw {

class ServiceControl;

/// One pair's wait, as the record holds it.
struct BackOffWait {
    PairId id;
    std::string name;
    std::int64_t waitMs = 0;     // the step of the back-off it waits
    std::int64_t notBefore = 0;  // when the wait ends, seconds since 1970
    std::string reason;          // why it was left: DeliveryOutcome::left
};

class BackOff {
  public:
    /// The back-off of the daemon whose state folder is `stateDir`;
    /// `journal` (may be null) hears of a record that cannot be written.
    BackOff(std::string stateDir, ServiceControl* journal);
    ~BackOff();
    BackOff(const BackOff&) = delete;
    BackOff& operator=(const BackOff&) = delete;

    /// Once the state folder is this daemon's: an empty record, and a flush
    /// asked of an earlier daemon is done (there is nothing to drop).
    void Start();
    /// Monotonic time before which `id` is not attempted again (0 = none).
    std::int64_t RetryNotBefore(const PairId& id, const std::string& name) const;
    /// Puts `id` back by the next step of the back-off, counted from `nowMs`
    /// (monotonic; `nowUnix` the wall clock for the record); returns the wait
    /// in milliseconds.
    std::int64_t DeferPair(const PairId& id, const std::string& name, const std::string& reason,
                           std::int64_t nowMs, double nowUnix);
    /// Drops the back-off of `id` (it left the queue).
    void ClearDeferral(const PairId& id);
    /// When `bwtarnout --flush` asked for it: drops every wait (one journal
    /// line) and removes the request. The waits dropped, -1 when none was asked.
    long TakeFlushRequest();
    /// Pairs waiting now.
    std::size_t Waiting() const { return waits_.size(); }

  private:
    struct Wait {
        BackOffWait record;
        std::int64_t notBeforeMs = 0;  // monotonic
    };
    bool Open();
    void Append(const std::string& line);
    bool Rewrite();
    void WriteFailed(const std::string& why);

    std::string stateDir_;
    ServiceControl* journal_;
    std::map<PairId, Wait> waits_;
    int fd_ = -1;
    bool saidWrite_ = false;
};

/// The record's file and the flush request in a state folder.
inline constexpr const char* kBackOffFile = "back-off";
inline constexpr const char* kFlushRequestFile = "flush";

/// The waits the record in `stateDir` holds (the daemon's last word); none
/// when there is no record. `err` says why a record could not be read.
std::vector<BackOffWait> ReadBackOff(const std::string& stateDir, ErrorState& err);

/// Asks the daemon on `stateDir` to drop its back-off at its next listing of
/// a queue folder; false (and why) when the request cannot be made.
bool RequestFlush(const std::string& stateDir, ErrorState& err);

/// A flush is asked for and not yet done.
bool FlushRequested(const std::string& stateDir);

}  // namespace bw
