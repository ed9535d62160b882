#include "db/minilog_lookup.h"

#include <unordered_map>

#include "db/db_session.h"
#include "platform/ascii_text.h"

namespace bw {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::optional<std::string>> MatchLastActions(
    const std::vector<std::string>& newestFirst, const std::vector<std::string>& names) {
    std::vector<std::optional<std::string>> found(names.size());
    // A name may stand for several pairs (the same name in two folders).
    std::unordered_multimap<std::string, std::size_t> wanted;
    for (std::size_t i = 0; i < names.size(); ++i) wanted.emplace(LowerAscii(names[i]), i);
    std::size_t left = names.size();
    for (const std::string& action : newestFirst) {
        if (left == 0) break;
        for (std::size_t i = 0; i < action.size();) {
            while (i < action.size() && IsBlank(action[i])) ++i;
            std::size_t end = i;
            while (end < action.size() && !IsBlank(action[end])) ++end;
            const auto [from, to] = wanted.equal_range(LowerAscii(action.substr(i, end - i)));
            for (auto it = from; it != to; ++it) {
                if (found[it->second]) continue;
                found[it->second] = action;
                --left;
            }
            i = end;
        }
    }
    return found;
}

bool LastMinilogActions(DbSession& session, const std::vector<std::string>& names,
                        std::vector<std::optional<std::string>>& actions, ErrorState& err) {
    const auto values = session.ReadColumn(
        "SELECT action FROM tbl_minilog ORDER BY id DESC LIMIT " + std::to_string(kMinilogLookback),
        "action", err);
    if (err.Failed()) return false;
    std::vector<std::string> newestFirst;
    for (const auto& v : values) newestFirst.push_back(v.value_or(""));
    actions = MatchLastActions(newestFirst, names);
    return true;
}

}  // namespace bw
