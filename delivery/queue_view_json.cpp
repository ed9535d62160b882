// The queue view for scripts: JSON lines, one object a pair and a last one
// with the summary, so that a reader can take each line as it comes
// (`jq -c 'select(.age_seconds > 3600)'`).
#include <algorithm>
#include <cmath>
#include <string>

#include "delivery/queue_view.h"

namespace bw {

namespace {

std::string JsonOrNull(const std::optional<std::string>& s) {
    return s ? JsonText(*s) : "null";
}

std::string Whole(double v) {
    return std::to_string(static_cast<long long>(std::floor(v)));
}

std::string NextJson(const QueueViewEntry& e, const QueueView& view) {
    if (!e.next) return "null";
    const QueueNextAttempt& n = *e.next;
    const double in =
        view.flushAsked ? 0 : std::max(0.0, static_cast<double>(n.at) - view.nowSeconds);
    return "{\"at\": " + std::to_string(n.at) + ", \"in_seconds\": " + Whole(in) +
           ", \"back_off_minutes\": " + std::to_string(n.waitMs / 60000) +
           ", \"reason\": " + JsonText(n.reason) + "}";
}

std::string PairJson(const QueueViewEntry& e, const QueueView& view) {
    const QueueEnvelope& env = e.envelope;
    std::string out =
        "{\"folder\": " + JsonText(e.pair.folder) + ", \"name\": " + JsonText(e.pair.name) +
        ", \"age_seconds\": " + Whole(e.pair.ageSeconds) +
        ", \"bytes\": " + std::to_string(e.pair.bytes) +
        ", \"being_sent\": " + (e.beingSent ? "true" : "false") +
        ", \"unreadable\": " + (env.readable ? "null" : JsonText(env.problem)) +
        ", \"sender\": " + (env.readable ? JsonText(env.sender) : "null") + ", \"recipients\": [";
    for (std::size_t r = 0; r < env.recipients.size(); ++r) {
        out += (r == 0 ? "" : ", ") + JsonText(env.recipients[r]);
    }
    out += "], \"envelope_problem\": " +
           (env.problem.empty() ? std::string("null")
                                : JsonText((env.readable ? "" : "unreadable: ") + env.problem)) +
           ", \"next_attempt\": " + NextJson(e, view) +
           ", \"last_action\": " + JsonOrNull(e.lastAction) + "}\n";
    return out;
}

}  // namespace

std::string FormatQueueJson(const QueueView& view) {
    std::string out;
    for (const QueueViewEntry& e : view.entries) out += PairJson(e, view);
    const QueueCounts c = CountQueue(view);
    out += "{\"summary\": {\"pairs\": " + std::to_string(c.pairs) +
           ", \"bytes\": " + std::to_string(c.bytes) + ", \"folders\": {";
    for (std::size_t f = 0; f < c.perFolder.size(); ++f) {
        out += (f == 0 ? "" : ", ") + JsonText(kQueueViewFolders[f]) + ": " +
               std::to_string(c.perFolder[f]);
    }
    out += "}, \"being_sent\": " + std::to_string(c.beingSent) +
           ", \"unreadable\": " + std::to_string(c.unreadable) + "}";
    out += std::string(", \"last_actions_known\": ") + (view.lastActionsKnown ? "true" : "false");
    out += std::string(", \"flush_asked\": ") + (view.flushAsked ? "true" : "false") + "}\n";
    return out;
}

}  // namespace bw
