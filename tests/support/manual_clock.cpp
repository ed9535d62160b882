#include "tests/support/manual_clock.h"

#include <cmath>

namespace bw {

ManualClock::ManualClock(double startDaySerial) : now_(startDaySerial) {}

double ManualClock::Timer() const {
    const double frac = now_ - std::floor(now_);
    // Round to the millisecond so that repeated Advance() calls do not drift.
    const double t = std::round(frac * 86400.0 * 1000.0) / 1000.0;
    return t >= 86400.0 ? 0.0 : t;
}

void ManualClock::Advance(std::int64_t ms) {
    if (ms <= 0) return;
    monoMs_ += ms;
    now_ += static_cast<double>(ms) / 86400000.0;
}

}  // namespace bw
