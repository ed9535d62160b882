// The delivery profile and the number of sessions at once, from the values
// "Profile" and "MaxSessions" of section "Server". "classic" (or no value)
// keeps the product's cadence; "fast" steps on events. "MaxSessions" is a
// whole number from 1 to kMaxSessionsLimit; without it the profile's default
// applies (kClassicMaxSessions, kFastMaxSessions).
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
/// The fast profile writes its audit and syncs its files in groups this often.
inline constexpr int kGroupIntervalMs = 50;

/// Sets d.profile and d.maxSessions from the two values ("" = not set).
/// Returns "" when both are allowed, else the problem.
std::string ApplyProfileSettings(const std::string& profile, const std::string& maxSessions,
                                 DeliverySettings& d);

}  // namespace bw
