// Time limits on the seconds-since-midnight clock, across midnight.
#pragma once

namespace bw {

class Clock;

/// True when start + seconds <= the clock's current timer value. A start
/// above the current value is taken as yesterday's and moved back by 86,400
/// seconds (the caller's variable changes). Both sides are compared in single
/// precision.
bool Elapsed(const Clock& clock, double& start, double seconds);

}  // namespace bw
