// The mail administrator's queue commands, answered and ended while the
// daemon runs or not:
//   bwtarnout --queue [--json]   the queue view (delivery/queue_view.h)
//   bwtarnout --flush            every queued pair tried at the daemon's next pass
//   bwtarnout --requeue NAME     a pair of a BAD folder back into its queue
//   bwtarnout --delete NAME      a pair deleted
//   bwtarnout --hold NAME        a queued pair put aside (the queue's Hold folder)
//   bwtarnout --release NAME     a held pair back into its queue
// each with "--HKCU" allowed. They find the application folder the way the
// start-up does (General/AppPath of the settings store chosen by "--HKCU" or
// HKCU.flg, else the executable's folder) and the daemon's state folder the
// way the daemon does (platform/state_folder.h, FindStateFolder). The view
// looks up the last minilog action of each pair on the database of
// DBConnect.dat (then DBConnect1.dat ...); it claims no pair and writes
// nothing. The pair commands claim the pair by the daemon's own lock first
// (delivery/queue_admin.h); --flush leaves a request in the state folder.
// DIAGNOSTICS: standard error, "bwtarnout: ..." lines. Statuses: 0 done;
// 1 no queue folder, no such pair, a file or request that cannot be written;
// 2 a command line that does not go together (one line naming the option);
// 3 a settings store that cannot be read ("Registry Problem: ..."); 75 the
// pair is being sent (its lock is held elsewhere). The database out of reach
// for the view: one line saying the last actions are unknown, status 0.
#pragma once

#include <iosfwd>
#include <string>

#include "delivery/queue_admin.h"

namespace bw {

/// The command's status when the pair is being sent (EX_TEMPFAIL).
inline constexpr int kExitBeingSent = 75;

struct QueueRequest {
    enum class Kind { kView, kFlush, kPair };
    Kind kind = Kind::kView;
    bool json = false;                                    // the view as JSON lines
    QueueAdminAction action = QueueAdminAction::kDelete;  // kPair: what to do
    std::string name;                                     // kPair: the pair
};

/// -1 when the arguments ask for no queue command; 0 when they do and
/// `request` says which; 2 (kExitUsage) when they name one but do not go
/// together, after one line on `err` that names the option.
int ParseQueueCommand(int argc, char** argv, QueueRequest& request, std::ostream& err);

/// Runs the command; `commandLine` as the start-up gets it (for "--HKCU").
/// The exit status.
int RunQueueCommand(const QueueRequest& request, const std::string& commandLine, std::ostream& out,
                    std::ostream& err);

}  // namespace bw
