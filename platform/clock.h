// The one source of time for all logic: seconds since local midnight (the
// timer value that the time limits use, wrapping at midnight), the day-serial
// number (days since 30 December 1899, local time, time of day as fraction)
// and a monotonic millisecond count for the loop's timers.
// SystemClock reads the machine; ManualClock is moved by tests.
#pragma once

#include <cstdint>

namespace bw {

class Clock {
  public:
    virtual ~Clock() = default;
    /// Seconds since local midnight, with fraction.
    virtual double Timer() const = 0;
    /// Local date and time as a day-serial number.
    virtual double Now() const = 0;
    /// Milliseconds on a monotonic scale; only differences mean anything.
    virtual std::int64_t MonotonicMs() const = 0;
    /// Blocks for the given time (the manual clock just moves on instead).
    virtual void Sleep(std::int64_t ms) = 0;
};

class SystemClock final : public Clock {
  public:
    double Timer() const override;
    double Now() const override;
    std::int64_t MonotonicMs() const override;
    void Sleep(std::int64_t ms) override;
};

/// Time that moves only when told to. Starts at the given day-serial number.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(double startDaySerial = 46361.5);  // 5 Dec 2026, 12:00
    double Timer() const override;
    double Now() const override { return now_; }
    std::int64_t MonotonicMs() const override { return monoMs_; }
    void Sleep(std::int64_t ms) override { Advance(ms); }

    void Advance(std::int64_t ms);
    /// Sets the wall clock (day-serial) without moving the monotonic scale.
    void SetNow(double daySerial) { now_ = daySerial; }

  private:
    double now_;
    std::int64_t monoMs_ = 0;
};

/// Day-serial number of a local calendar date and time.
double MakeDaySerial(int year, int month, int day, int hour = 0, int minute = 0, double second = 0);

}  // namespace bw
