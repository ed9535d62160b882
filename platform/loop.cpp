#include "platform/loop.h"

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <cmath>
#include <vector>

namespace bw {

Timer::Timer(Loop& loop, int intervalMs, bool enabled, std::function<void()> onTick)
    : loop_(loop), id_(loop.Register(this)), intervalMs_(intervalMs), onTick_(std::move(onTick)) {
    SetEnabled(enabled);
}

Timer::~Timer() {
    loop_.Unregister(id_);
}

void Timer::Arm() {
    dueMs_ = loop_.GetClock().MonotonicMs() + (intervalMs_ > 0 ? intervalMs_ : 1);
}

void Timer::SetEnabled(bool enabled) {
    // Switching on restarts the interval; switching on a timer that is
    // already on changes nothing (it keeps its running interval).
    const bool wasEnabled = enabled_;
    enabled_ = enabled && intervalMs_ > 0;
    if (enabled_ && !wasEnabled) Arm();
}

void Timer::SetInterval(int ms) {
    intervalMs_ = ms;
    if (intervalMs_ <= 0) {
        enabled_ = false;
    } else if (enabled_) {
        Arm();
    }
}

struct Loop::Asio {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard{asio::make_work_guard(io)};
};

Loop::Loop(Clock& clock) : clock_(clock), asio_(std::make_unique<Asio>()), io_(asio_->io) {}

asio::io_context& Loop::Io() {
    return io_;
}

Loop::~Loop() {
    asio_->guard.reset();
    // Timers outlive neither their owners nor the loop; drop what is left.
    timers_.clear();
}

std::uint64_t Loop::Register(Timer* t) {
    const std::uint64_t id = nextId_++;
    timers_[id] = t;
    return id;
}

void Loop::Unregister(std::uint64_t id) {
    timers_.erase(id);
}

void Loop::Post(std::function<void()> fn) {
    asio::post(io_, std::move(fn));
}

void Loop::Stop() {
    stopped_ = true;
    io_.stop();
}

std::int64_t Loop::MsToNextTimer() const {
    std::int64_t best = -1;
    const std::int64_t now = clock_.MonotonicMs();
    for (const auto& [id, t] : timers_) {
        if (!t->enabled_ || t->inTick_) continue;
        const std::int64_t left = std::max<std::int64_t>(0, t->dueMs_ - now);
        if (best < 0 || left < best) best = left;
    }
    return best;
}

bool Loop::FireDueTimers() {
    // Fire each timer that is due at the start of this pass once, in due order.
    // A handler may create, destroy or toggle any timer, so look each one up
    // again by id before firing it.
    const std::int64_t now = clock_.MonotonicMs();
    std::vector<std::pair<std::int64_t, std::uint64_t>> due;
    for (const auto& [id, t] : timers_) {
        if (t->enabled_ && !t->inTick_ && t->dueMs_ <= now) due.emplace_back(t->dueMs_, id);
    }
    std::sort(due.begin(), due.end());
    for (const auto& [dueMs, id] : due) {
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;
        Timer* t = it->second;
        if (!t->enabled_ || t->inTick_ || t->dueMs_ > now) continue;
        t->Arm();
        if (!t->onTick_) continue;
        t->inTick_ = true;
        auto handler = t->onTick_;  // the handler may replace or destroy the timer
        handler();
        it = timers_.find(id);
        if (it != timers_.end()) it->second->inTick_ = false;
    }
    return !due.empty();
}

void Loop::PollOnce() {
    if (io_.stopped() && !stopped_) io_.restart();
    io_.poll();
    FireDueTimers();
}

void Loop::Wait(double seconds) {
    const auto ms = static_cast<std::int64_t>(std::llround(seconds * 1000.0));
    clock_.Sleep(ms);
    PollOnce();
}

void Loop::Run() {
    stopped_ = false;
    if (io_.stopped()) io_.restart();
    while (!stopped_) {
        FireDueTimers();
        if (stopped_) break;
        const std::int64_t next = MsToNextTimer();
        const auto wait = std::chrono::milliseconds(next < 0 ? 1000 : next);
        io_.run_one_for(wait);
        if (stopped_) break;
        io_.poll();
    }
}

void Loop::Advance(std::int64_t ms) {
    const std::int64_t target = clock_.MonotonicMs() + ms;
    while (true) {
        PollOnce();
        const std::int64_t now = clock_.MonotonicMs();
        if (now >= target) break;
        std::int64_t step = target - now;
        const std::int64_t next = MsToNextTimer();
        if (next >= 0 && next < step) step = std::max<std::int64_t>(next, 1);
        clock_.Sleep(step);  // a manual clock moves on at once
    }
}

}  // namespace bw
