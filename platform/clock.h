// The one source of time for all logic: seconds since local midnight (the
// timer value that the time limits use, wrapping at midnight), the day-serial
// number (days since 30 December 1899, local time, time of day as fraction),
// seconds since 1970 (UTC) for what other programs read, and a monotonic
// millisecond count for the loop's timers.
// SystemClock reads the machine; tests use a manual clock whose Sleep moves
// it on at once (tests/support/manual_clock.h).
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
    /// Seconds since 1 January 1970 UTC, with fraction.
    virtual double UnixSeconds() const = 0;
    /// Milliseconds on a monotonic scale; only differences mean anything.
    virtual std::int64_t MonotonicMs() const = 0;
    /// Blocks for the given time (the manual clock just moves on instead).
    virtual void Sleep(std::int64_t ms) = 0;
};

class SystemClock final : public Clock {
  public:
    double Timer() const override;
    double Now() const override;
    double UnixSeconds() const override;
    std::int64_t MonotonicMs() const override;
    void Sleep(std::int64_t ms) override;
};

/// Day-serial number of a local calendar date and time.
double MakeDaySerial(int year, int month, int day, int hour = 0, int minute = 0, double second = 0);

}  // namespace bw
