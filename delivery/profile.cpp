#include "delivery/profile.h"

#include "platform/ascii_case.h"

namespace bw {

namespace {

// A whole number without sign, blanks or other characters, within 1..limit; -1 otherwise.
int Count(const std::string& s, int limit) {
    if (s.empty() || s.size() > 6) return -1;
    int n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n >= 1 && n <= limit ? n : -1;
}

}  // namespace

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
    const int n = Count(maxSessions, kMaxSessionsLimit);
    if (n < 0) {
        return "Setting not allowed: Server\\MaxSessions = \"" + maxSessions +
               "\" (allowed: a whole number from 1 to " + std::to_string(kMaxSessionsLimit) + ")";
    }
    d.maxSessions = n;
    return "";
}

}  // namespace bw
