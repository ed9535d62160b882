#include "delivery/profile.h"

#include "platform/ascii_text.h"

namespace bw {

std::string ApplyProfileSettings(const std::string& profile, const std::string& maxSessions,
                                 DeliverySettings& d) {
    const std::string p = LowerAscii(profile);
    if (p.empty() || p == "classic") {
        d.profile = Profile::kClassic;
    } else if (p == "fast") {
        d.profile = Profile::kFast;
    } else {
        return "Setting not allowed: Server\\Profile = \"" + profile +
               "\" (allowed: classic, fast)";
    }
    if (maxSessions.empty()) {
        d.maxSessions = d.profile == Profile::kFast ? kFastMaxSessions : kClassicMaxSessions;
        return "";
    }
    const long n = WholeNumber(maxSessions, 6);
    if (n < 1 || n > kMaxSessionsLimit) {
        return "Setting not allowed: Server\\MaxSessions = \"" + maxSessions +
               "\" (allowed: a whole number from 1 to " + std::to_string(kMaxSessionsLimit) + ")";
    }
    d.maxSessions = static_cast<int>(n);
    return "";
}

}  // namespace bw
