// The last minilog action naming each queue pair, for the queue view: one
// query for the newest rows of tbl_minilog (at most kMinilogLookback, by id),
// matched against the pair names in memory. A row names a pair when its
// action holds the pair's base name as a word of its own, as the delivery
// writes it ("900 Delivered NAME to: ...", "490 Peer Delivery DEFERRED NAME
// (...)", "590 Peer Delivery ERROR NAME (...)"); letter case aside.
// DIAGNOSTICS: a query that fails returns false with the database's error;
// nothing is written and nothing is logged.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/error_state.h"

namespace bw {

class DbSession;

/// How many of the newest minilog rows are looked at.
constexpr int kMinilogLookback = 10000;

/// For each of `names`, the newest action naming it (nullopt: none among the
/// rows looked at). The session's connection must be open; it is not changed.
bool LastMinilogActions(DbSession& session, const std::vector<std::string>& names,
                        std::vector<std::optional<std::string>>& actions, ErrorState& err);

/// The matching alone: `newestFirst` holds action texts, newest first.
std::vector<std::optional<std::string>> MatchLastActions(
    const std::vector<std::string>& newestFirst, const std::vector<std::string>& names);

}  // namespace bw
