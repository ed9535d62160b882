// The queue dispatcher: a pair nobody else holds is claimed by an exclusive
// lock on both files and handed to a new delivery session, up to
// "MaxSessions" deliveries at once (5 by default). Where the pairs come from
// is its work source (work_source.h): the classic scan on the queue timer
// unless the profile gives another.
// DIAGNOSTICS: a delivery session that cannot be created in 100 attempts ends
// the process. A pair that cannot be claimed is skipped quietly; a pair that
// is unsafe to send goes to the set-aside rule.
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

class Timer;
class WorkSource;

/// Ends the process without running any handler (open queue files stay
/// where they are), saying `why` on standard error.
[[noreturn]] void EndDeliveryAtOnce(const std::string& why);

class Dispatcher {
  public:
    /// `databaseOpen` tells whether the database connection exists (no scan
    /// without it); `queueTimer` (may be null) is the timer that calls
    /// OnQueueTimer, whose interval the dispatcher sets.
    Dispatcher(DeliveryContext& ctx, std::function<bool()> databaseOpen, Timer* queueTimer);
    ~Dispatcher();

    void OnQueueTimer();

    /// Takes its work from `source` from now on (instead of the classic scan).
    void UseWorkSource(std::unique_ptr<WorkSource> source);
    /// Starts the work source; failed when it cannot run.
    ErrorState StartWork();

    /// The pairs (".dat" name, ".msg" name) of the queue sub-folder `sub`
    /// ("Inbox/" or "Outbox/"); a lone ".dat" goes to the set-aside rule. A
    /// folder that is missing or cannot be read raises `err` and lists nothing.
    std::vector<std::pair<std::string, std::string>> ListPairs(const std::string& sub,
                                                               ErrorState& err);
    /// Claims a pair of `sub` and hands it to a new delivery session; true when it went.
    bool Claim(const std::string& sub, const std::string& name, const std::string& msgName);
    /// After each health check: the work source hears when the database has
    /// just come (back).
    void DatabaseChecked();
    /// The database connection exists.
    bool DatabaseOpen() const { return databaseOpen_(); }
    /// The database is open and a session is free.
    bool HasRoom() const;
    /// The timer that runs OnQueueTimer (may be null); the work source sets its interval.
    Timer* QueueTimer() const { return queueTimer_; }

    DeliverySessions& Sessions() { return sessions_; }

  private:
    DeliveryContext& ctx_;
    std::function<bool()> databaseOpen_;
    Timer* queueTimer_;
    DeliverySessions sessions_;
    SetAside setAside_;
    std::unique_ptr<WorkSource> source_;
    bool databaseWasOpen_ = false;
};

}  // namespace bw
