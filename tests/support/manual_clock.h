// A clock that moves only when told to (or when the loop sleeps on it), so
// the loop's timers run in virtual time: Loop::Advance moves it from timer
// to timer.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace bw {

/// Time that moves only when told to. Starts at the given day-serial number.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(double startDaySerial = 46361.5);  // 5 Dec 2026, 12:00
    double Timer() const override;
    double Now() const override { return now_; }
    /// The day-serial number read as UTC.
    double UnixSeconds() const override { return (now_ - 25569.0) * 86400.0; }
    std::int64_t MonotonicMs() const override { return monoMs_; }
    void Sleep(std::int64_t ms) override { Advance(ms); }

    void Advance(std::int64_t ms);
    /// Sets the wall clock (day-serial) without moving the monotonic scale.
    void SetNow(double daySerial) { now_ = daySerial; }

  private:
    double now_;
    std::int64_t monoMs_ = 0;
};

}  // namespace bw
