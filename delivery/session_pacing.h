// How a delivery session is paced. On ticks (the classic profile): each step
// waits for the stage timer, a connection is noticed at the next tick, and
// the unload comes on its own timer. On events (the fast profile): a step
// follows at once on entering a stage, on a connection (made or failed) and
// on every socket event, and the unload is posted at once. The stage timer
// runs either way, for the time limits. One of the two is chosen with the
// profile (profile_parts.h).
// DIAGNOSTICS: none.
#pragma once

#include <functional>

namespace bw {

class Timer;

class SessionPacing {
  public:
    virtual ~SessionPacing() = default;
    /// A stage was entered, or the session loaded: `stepSoon` posts a step.
    virtual void Entered(const std::function<void()>& stepSoon) const = 0;
    /// The connection was made, or failed while connecting: `judgeNow` steps
    /// at once instead of at the next tick (or the end of the limit).
    virtual void ConnectionSettled(const std::function<void()>& judgeNow) const = 0;
    /// The conversation is over: the session unloads on `unloadTimer`'s tick,
    /// or `unloadSoon` posts the unload.
    virtual void Finished(Timer& unloadTimer, const std::function<void()>& unloadSoon) const = 0;
};

/// The classic cadence: steps on the stage timer only.
const SessionPacing& PacingOnTicks();
/// The fast profile: steps on every event.
const SessionPacing& PacingOnEvents();

}  // namespace bw
