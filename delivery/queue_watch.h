// QueueWatch: how the fast profile finds work. Inbox/ and Outbox/ are watched
// (platform/dir_watch.h); a pair becomes a candidate the moment its second
// file is complete (closed after writing, or renamed in) and is claimed at
// once while a session is free. Candidates wait in arrival order, the two
// folders taking turns; each session's end runs a new pass. A file still being
// written keeps its pair back until it is complete (or has not changed for
// kStaleWritingMs: its writer is gone and the claim's lock decides, as in the
// classic scan). The rescan, every kRescanIntervalMs on the queue timer and at once
// when the kernel dropped events or a folder was replaced (then watched
// afresh), lists both folders like the classic scan
// (lone envelopes go to the set-aside rule) and makes every pair found a
// candidate again: nothing waits on a missed event longer than that. A pair
// left in the queue after a session is tried again only at a rescan or a new
// event of its own, never in a loop; and once as many sessions in a row as
// run at once have left their pairs (the server away), only the rescan
// claims, until a session delivers or refuses again: a server that is down
// sees "MaxSessions" attempts per rescan, not the whole queue.
// A queue folder that goes away (removed, or renamed away) stops nothing: the
// other folder goes on, and each rescan looks for the folder again, watching
// and listing it from the moment it is back.
// DIAGNOSTICS: Start() fails when a queue folder cannot be watched (the
// start-up ends naming it). Later, a queue folder that is missing or cannot
// be listed is a journal warning, said once until it is back (then an
// information); otherwise as the dispatcher.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "delivery/delivery_context.h"
#include "delivery/delivery_meter.h"
#include "delivery/work_source.h"
#include "platform/dir_watch.h"
#include "platform/error_state.h"

namespace bw {

class Dispatcher;

/// The fast profile's rescan interval (the queue timer).
inline constexpr int kRescanIntervalMs = 2000;
/// A file whose writer has not been heard of for this long no longer holds its pair back.
inline constexpr std::int64_t kStaleWritingMs = 30 * 1000;

class QueueWatch final : public WorkSource {
  public:
    QueueWatch(DeliveryContext& ctx, Dispatcher& dispatcher);
    ~QueueWatch() override;
    QueueWatch(const QueueWatch&) = delete;
    QueueWatch& operator=(const QueueWatch&) = delete;

    /// Watches both queue folders, sets the queue timer to the rescan
    /// interval and rescans them once.
    ErrorState Start() override;
    /// The queue timer: the rescan.
    void OnQueueTimer() override { Rescan(); }
    /// The database is back: a pass at once rather than at the next rescan.
    void DatabaseCameBack() override { SchedulePass(); }
    /// Lists both folders, takes every pair found as a candidate and runs a pass.
    void Rescan();
    /// Runs a pass from the loop soon (once, however often asked).
    void SchedulePass();
    /// Claims candidates while a session is free.
    void Pass();
    /// A session ended: a pass follows unless pairs keep being left.
    void SessionEnded(SessionResult result) override;

  private:
    struct Names {
        std::string dat, msg;  // as found in the folder ("" = not seen)
    };
    struct Folder {
        std::string sub;                              // "Inbox/" or "Outbox/"
        bool watched = false;                         // in the current DirWatch
        bool missing = false;                         // said in the journal to be missing
        std::map<std::string, Names> known;           // lower-case base -> names
        std::map<std::string, std::int64_t> writing;  // lower-case file name -> last change
        std::deque<std::string> order;                // candidates, oldest first
        std::set<std::string> queued;                 // the same, for lookup
    };

    ErrorState Watch();
    ErrorState WatchMissing();
    void Lost();
    void List(Folder& f);
    void OnChange(Folder& f, const std::string& name, FileChange change);
    void Offer(Folder& f, const std::string& key);
    bool TryNext(Folder& f, bool& claimed);
    bool BeingWritten(Folder& f, const std::string& name, std::int64_t now);

    DeliveryContext& ctx_;
    Dispatcher& dispatcher_;
    std::array<Folder, 2> folders_;
    std::size_t turn_ = 0;
    bool passPosted_ = false;
    int leftInARow_ = 0;  // sessions that left their pairs since the last delivery
    std::unique_ptr<DirWatch> watch_;
    std::vector<std::size_t> watchedFolder_;  // DirWatch folder index -> folders_ index
    std::shared_ptr<QueueWatch*> self_;       // a posted pass finds the watch gone
};

}  // namespace bw
