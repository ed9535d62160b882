// The queue dispatcher. Classic profile, on tmrQueue: one queue folder per
// tick (Inbox, then Outbox, in turn), every pair nobody else holds claimed by
// an exclusive lock and handed to a new delivery session, up to "MaxSessions"
// deliveries at once (5 by default). Fast profile: the queue watch
// (queue_watch.h) claims pairs as they complete and as sessions end, and
// tmrQueue only runs its rescan.
// DIAGNOSTICS: in the classic profile a queue folder that is missing or
// unreadable ends the process at once (one line on standard error); the fast
// profile's watch says it in the journal instead and waits for the folder to
// come back. A delivery session that cannot be created in 100 attempts ends the
// process. A pair that cannot be claimed is skipped quietly.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "delivery/delivery_context.h"
#include "delivery/delivery_sessions.h"
#include "delivery/set_aside.h"
#include "platform/error_state.h"

namespace bw {

class QueueWatch;
class Timer;

class Dispatcher {
  public:
    /// `databaseOpen` tells whether the database connection exists (no scan
    /// without it); `queueTimer` (may be null) is the timer that calls
    /// OnQueueTimer, whose interval the dispatcher sets.
    Dispatcher(DeliveryContext& ctx, std::function<bool()> databaseOpen, Timer* queueTimer);
    ~Dispatcher();

    void OnQueueTimer();

    /// Fast profile: watches the queue folders from now on (they must exist);
    /// failed when a folder cannot be watched.
    ErrorState StartWatch();

    /// The pairs (".dat" name, ".msg" name) of the queue sub-folder `sub`
    /// ("Inbox/" or "Outbox/"); a lone ".dat" goes to the set-aside rule. A
    /// folder that is missing or cannot be read raises `err` and lists nothing.
    std::vector<std::pair<std::string, std::string>> ListPairs(const std::string& sub,
                                                               ErrorState& err);
    /// Claims a pair of `sub` and hands it to a new delivery session; true when it went.
    bool Claim(const std::string& sub, const std::string& name, const std::string& msgName);
    /// After each health check: the fast profile claims at once when the
    /// database has just come (back), rather than at the next rescan.
    void DatabaseChecked();
    /// The database is open and a session is free.
    bool HasRoom() const;

    DeliverySessions& Sessions() { return sessions_; }

  private:
    DeliveryContext& ctx_;
    std::function<bool()> databaseOpen_;
    Timer* queueTimer_;
    DeliverySessions sessions_;
    SetAside setAside_;
    std::string scanFolder_;  // the queue sub-folder listed on the current tick
    std::unique_ptr<QueueWatch> watch_;
    bool databaseWasOpen_ = false;
};

}  // namespace bw
