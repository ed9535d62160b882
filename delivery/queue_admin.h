// The administrator's commands on one queue pair, safe beside a running
// daemon: `bwtarnout --requeue NAME` (a pair of a queue's BAD folder back
// into its queue), `--hold NAME` (a queued pair aside into the queue's Hold
// folder, where the daemon never looks), `--release NAME` (back from Hold)
// and `--delete NAME` (from any of the six folders of the queue view).
//
// Each claims the pair by the daemon's own rule before it touches it: an
// exclusive, non-blocking lock on both files (platform/queue_files.h). A pair
// whose lock another process holds (being sent, or still being written) is
// tried again for two seconds (the daemon holds every queued pair for a moment
// at each pass), then refused. The files move by rename, the ".msg" first and
// the ".dat" last, so that the daemon never sees the pair complete before its
// message is in place; a name already taken in the target folder is never
// replaced. A Hold folder is made when missing, with the mode and owner of
// its queue folder. Files that are links or no regular files are never
// moved, only deleted (the names go, never a target). Changed.flg is
// rewritten after a change, as after the daemon's own filings.
// DIAGNOSTICS: the result's message says what was done or why not.
#pragma once

#include <string>

namespace bw {

enum class QueueAdminAction { kRequeue, kDelete, kHold, kRelease };

struct QueueAdminResult {
    enum class Kind { kDone, kFailed, kBeingSent };
    Kind kind = Kind::kFailed;
    std::string message;  // one line, without its line end
};

/// Does `action` to the pair `name` below the account folder `accPath`
/// (ending in "/"). `name` is the pair's base name, optionally after its
/// folder as the queue view shows it ("Inbox/BAD/q1") and with ".dat" or
/// ".msg"; without a folder it is looked for in every folder the action
/// takes pairs from. `nowDaySerial` goes into Changed.flg.
QueueAdminResult RunQueueAdmin(QueueAdminAction action, const std::string& accPath,
                               const std::string& name, double nowDaySerial);

/// The option of an action ("--requeue", ...).
const char* QueueAdminOption(QueueAdminAction action);

}  // namespace bw
