// The delivery sessions alive: created for the dispatcher, destroyed from the
// loop once unloaded and out of their own handlers. An observer may watch
// each unload (tests and benchmarks; none in the daemon).
// DIAGNOSTICS: Create returns nullptr when no memory is left.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>

#include "db/audit.h"
#include "delivery/delivery_context.h"
#include "delivery/delivery_meter.h"
#include "delivery/queue_pair.h"

namespace bw {

class DeliverySession;

using UnloadObserver = std::function<void(const MinilogRow& record, const std::string& queueName)>;

class DeliverySessions {
  public:
    explicit DeliverySessions(DeliveryContext& ctx);
    ~DeliverySessions();
    DeliverySessions(const DeliverySessions&) = delete;
    DeliverySessions& operator=(const DeliverySessions&) = delete;

    /// A new session that takes over `pair`, kept until it has unloaded; nullptr
    /// when it cannot be made (the pair is then released or still held here).
    DeliverySession* Create(QueuePair& pair);
    /// Sessions created and not yet destroyed (loaded or not).
    int Live() const { return static_cast<int>(sessions_.size()); }
    /// Deliveries running now: sessions with a pair in delivery (what
    /// "MaxSessions" limits and the shutdown waits for); an idle connection
    /// is none.
    int Running() const;
    /// An idle session whose held connection can take the next pair, or nullptr.
    DeliverySession* TakeIdle();
    /// Destroys every session that has unloaded and is in none of its own handlers.
    void DestroyFinished();
    /// Destroys every session, unloaded or not, without unloading it.
    void DestroyAll();
    void SetUnloadObserver(UnloadObserver observer) { observer_ = std::move(observer); }
    /// Runs after each unload with what became of the pair: a session is free
    /// again (the fast profile's watch).
    void SetFreedHandler(std::function<void(SessionResult)> onFreed) {
        onFreed_ = std::move(onFreed);
    }

    // Called by the sessions.
    void ScheduleReap();
    void Unloaded(const MinilogRow& record, const std::string& name, SessionResult result);

  private:
    DeliveryContext& ctx_;
    std::list<std::unique_ptr<DeliverySession>> sessions_;
    UnloadObserver observer_;
    std::function<void(SessionResult)> onFreed_;
    bool reapPosted_ = false;
    std::shared_ptr<DeliverySessions*> self_;  // a posted reap finds the owner gone
};

}  // namespace bw
