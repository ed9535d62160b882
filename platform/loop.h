// The program's one message loop: an Asio io_context for sockets, resolvers
// and signals, plus the window timers (interval in ms, on/off, periodic tick)
// driven by the injected Clock. With a manual clock (one whose Sleep moves it
// on at once) the same loop runs in virtual time: Advance() moves the clock
// and fires what came due, while real socket events are still polled.
//
// Timer rules: switching a timer off and on restarts its interval (switching
// on a timer that is on already changes nothing); a new
// Interval takes effect from the next arming; a tick handler is never
// re-entered by its own timer (a nested Wait inside it skips that timer).
// Handlers must not throw; an exception escaping one ends the process.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/clock.h"

// Only the parts that hand the loop's io_context to Asio objects (sockets,
// signals, the folder watch) include Asio; everything else sees the loop alone.
namespace asio {
class io_context;
}  // namespace asio

namespace bw {

class Loop;

class Timer {
  public:
    /// A timer on `loop`; `onTick` runs on each tick while enabled.
    Timer(Loop& loop, int intervalMs, bool enabled, std::function<void()> onTick = {});
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void SetEnabled(bool enabled);
    bool Enabled() const { return enabled_; }
    void SetInterval(int ms);
    int Interval() const { return intervalMs_; }
    void SetHandler(std::function<void()> onTick) { onTick_ = std::move(onTick); }

  private:
    friend class Loop;
    void Arm();

    Loop& loop_;
    std::uint64_t id_;
    int intervalMs_;
    bool enabled_ = false;
    bool inTick_ = false;
    std::int64_t dueMs_ = 0;
    std::function<void()> onTick_;
};

class Loop {
  public:
    explicit Loop(Clock& clock);
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    asio::io_context& Io();
    Clock& GetClock() { return clock_; }

    /// Runs handlers and timers until Stop() is called.
    void Run();
    void Stop();
    bool Stopped() const { return stopped_; }

    /// Sleeps for `seconds` (rounded to whole ms) and then processes all
    /// pending events once. Any handler of the program may run inside it.
    void Wait(double seconds);

    /// Processes ready I/O handlers and fires every due timer once.
    void PollOnce();

    /// Moves time forward by `ms`, sleeping on the clock from one timer due
    /// point to the next and polling I/O and firing timers at each (with a
    /// manual clock: virtual time).
    void Advance(std::int64_t ms);

    /// Queues `fn` to run on the loop, never inside the caller.
    void Post(std::function<void()> fn);

    /// Milliseconds until the next enabled timer is due (-1 when none is).
    std::int64_t MsToNextTimer() const;

  private:
    friend class Timer;
    std::uint64_t Register(Timer* t);
    void Unregister(std::uint64_t id);
    bool FireDueTimers();

    struct Asio;  // the io_context and the guard that keeps it running
    Clock& clock_;
    std::unique_ptr<Asio> asio_;
    asio::io_context& io_;
    std::map<std::uint64_t, Timer*> timers_;
    std::uint64_t nextId_ = 1;
    bool stopped_ = false;
};

}  // namespace bw
