#include "host/timing.h"

#include "platform/clock.h"

namespace bw {

bool Elapsed(const Clock& clock, double& dStart, double seconds) {
    const double now = clock.Timer();
    if (now < dStart) dStart -= 86400.0;
    return static_cast<float>(dStart + seconds) <= static_cast<float>(now);
}

}  // namespace bw
