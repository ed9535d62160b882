// Filing a queue pair once its session is over: both files move to the
// queue's BAD folder when refused, to the account's Trash when delivered and
// the trash is used, else they are deleted; the ".msg" first, the ".dat"
// last. A file is unlocked (closed) only after its name has moved on, so no
// scan can claim a half-filed pair. Changed.flg tells the other components of
// the gateway to look at the account again.
// DIAGNOSTICS: FilePair returns false with `err` raised when a file stays in
// the queue; a refused file whose folder failed is never deleted. A failed
// Changed.flg is harmless and ignored.
#pragma once

#include <string>

#include "delivery/queue_pair.h"
#include "platform/error_state.h"
#include "platform/folder_sync.h"

namespace bw {

/// Moves or deletes both files of `pair` (closing them); `refused` sends them
/// to BAD, else `useTrash` to the trash. `sync` makes the folders durable.
bool FilePair(QueueFiles& files, QueuePair& pair, bool refused, bool useTrash, ErrorState& err,
              FolderSync& sync = SyncFoldersAtOnce());

/// Rewrites folder + "Changed.flg" with the day-serial number `now`.
void TouchChangedFlag(const std::string& folder, double now);

/// How a filing tells the other components that an account's queues changed.
class ChangedFlag {
  public:
    virtual ~ChangedFlag() = default;
    virtual void Changed(const std::string& folder, double now) = 0;
};

/// Rewrites the flag at each filing.
class ChangedFlagAtOnce final : public ChangedFlag {
  public:
    void Changed(const std::string& folder, double now) override { TouchChangedFlag(folder, now); }
};

/// The fast profile's changed flag: filings mark it and the end of each group
/// rewrites it once. Rewritten at every delivery, the flag's new file made
/// ext4 search past all the recently deleted inodes for a fresh one: over half
/// the loop's time at a thousand deliveries a second.
class ChangedFlagGroup final : public ChangedFlag {
  public:
    void Changed(const std::string& folder, double /*now*/) override { folder_ = folder; }
    /// Rewrites the flag when a filing marked it since the last call.
    void Touch(double now);

  private:
    std::string folder_;  // "" = nothing marked
};

}  // namespace bw
