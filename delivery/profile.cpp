#include "delivery/profile.h"

#include "platform/ascii_text.h"

namespace bw {

namespace {

// A whole number from 1 to `limit` for the setting `name`: false with the problem.
bool SessionCount(const std::string& name, const std::string& value, int limit, int& n,
                  std::string& problem) {
    const long v = WholeNumber(value, 6);
    if (v < 1 || v > limit) {
        problem = "Setting not allowed: Server\\" + name + " = \"" + value +
                  "\" (allowed: a whole number from 1 to " + std::to_string(limit) + ")";
        return false;
    }
    n = static_cast<int>(v);
    return true;
}

}  // namespace

std::string ApplyProfileSettings(const ProfileValues& values, DeliverySettings& d) {
    const std::string p = LowerAscii(values.profile);
    if (p.empty() || p == "classic") {
        d.profile = Profile::kClassic;
    } else if (p == "fast") {
        d.profile = Profile::kFast;
    } else {
        return "Setting not allowed: Server\\Profile = \"" + values.profile +
               "\" (allowed: classic, fast)";
    }
    std::string problem;
    d.maxSessions = d.profile == Profile::kFast ? kFastMaxSessions : kClassicMaxSessions;
    if (!values.maxSessions.empty() && !SessionCount("MaxSessions", values.maxSessions,
                                                     kMaxSessionsLimit, d.maxSessions, problem)) {
        return problem;
    }
    d.messagesPerConnection = kMessagesPerConnection;
    if (!values.messagesPerConnection.empty() &&
        !SessionCount("MessagesPerConnection", values.messagesPerConnection,
                      kMessagesPerConnectionLimit, d.messagesPerConnection, problem)) {
        return problem;
    }
    return "";
}

}  // namespace bw
