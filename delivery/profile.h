// The delivery profile, the number of sessions at once and the messages one
// connection carries, from the values "Profile", "MaxSessions" and
// "MessagesPerConnection" of section "Server". "classic" (or no value) keeps
// the product's cadence; "fast" steps on events. "MaxSessions" is a whole
// number from 1 to kMaxSessionsLimit; without it the profile's default applies
// (kClassicMaxSessions, kFastMaxSessions). "MessagesPerConnection" (the fast
// profile's; classic sends one message per connection) is a whole number from
// 1 to kMessagesPerConnectionLimit, kMessagesPerConnection without it.
// DIAGNOSTICS: a value that is not allowed gives the text the start-up ends
// with, naming the value and what would be allowed.
#pragma once

#include <string>

#include "delivery/delivery_context.h"

namespace bw {

/// The sessions at once of the fast profile when "MaxSessions" is not set
/// (the best of the measured counts on a 2-core machine, see bench/README.md).
inline constexpr int kFastMaxSessions = 20;
inline constexpr int kMaxSessionsLimit = 200;
inline constexpr int kMessagesPerConnectionLimit = 10000;
/// The fast profile writes its audit and syncs its files in groups this often.
inline constexpr int kGroupIntervalMs = 50;

struct ProfileValues {
    std::string profile, maxSessions, messagesPerConnection;  // "" = not set
};

/// Sets d.profile, d.maxSessions and d.messagesPerConnection from the values.
/// Returns "" when all are allowed, else the problem.
std::string ApplyProfileSettings(const ProfileValues& values, DeliverySettings& d);

}  // namespace bw
