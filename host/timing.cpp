#include "host/timing.h"

#include "platform/clock.h"

namespace bw {

bool Elapsed(const Clock& clock, double& start, double seconds) {
    const double now = clock.Timer();
    if (now < start) start -= 86400.0;
    return static_cast<float>(start + seconds) <= static_cast<float>(now);
}

}  // namespace bw
