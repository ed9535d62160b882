#include "delivery/stage_table.h"

#include <array>

namespace bw {

namespace {

constexpr const char* kNoResponse = "NO RESPONSE";
constexpr const char* kNoOrBad = "NO OR BAD RESPONSE";

// Indexed by Stage. Limits are seconds on the monotonic clock.
constexpr std::array<StageRow, 16> kRows{{
    {"kReadEnvelope", 250, 0, 0, false, nullptr, nullptr},
    {"kConnect", 250, 0, 0, false, nullptr, nullptr},
    {"kConnecting", 250, 5, 5, false, nullptr, nullptr},
    {"kGreeting", 250, 10, 90, true, kNoResponse, nullptr},
    {"kHeloReply", 250, 90, 90, true, kNoOrBad, "HELO"},
    {"kMailReply", 250, 90, 90, false, kNoResponse, "MAIL FROM"},
    {"kNextRcpt", 5, 0, 0, false, nullptr, nullptr},
    {"kRcptReply", 100, 90, 90, false, kNoResponse, nullptr},
    {"kData", 5, 0, 0, false, nullptr, nullptr},
    {"kDataReply", 100, 90, 90, false, kNoOrBad, "DATA"},
    {"kBody", 1, 90, 90, false, nullptr, "message body"},
    {"kEndOfDataReply", 100, 90, 90, false, kNoOrBad, "end of data"},
    {"kQuitReply", 100, 90, 90, false, nullptr, nullptr},
    {"kNoRecipients", 250, 0, 0, false, nullptr, nullptr},
    {"kFile", 100, 0, 0, false, nullptr, nullptr},
    {"kDone", 100, 0, 0, false, nullptr, nullptr},
}};

}  // namespace

const StageRow& RowOf(Stage stage) {
    return kRows[static_cast<std::size_t>(stage)];
}

Verdict JudgeReply(Stage stage, const ReplyBuffer& reply, const JudgeFacts& facts) {
    const bool complete = reply.Complete();
    const char code = reply.First();
    // Only DATA may be answered with "3" (354, go ahead); any complete answer
    // to RCPT goes on: a refused recipient does not stop the others.
    const bool positive = code == '2' || (stage == Stage::kDataReply && code == '3');
    if (stage == Stage::kQuitReply) return Verdict::kGoOn;
    if (stage != Stage::kBody && complete && (positive || stage == Stage::kRcptReply)) {
        return Verdict::kGoOn;
    }
    if (stage == Stage::kGreeting) return facts.lastServer ? Verdict::kLeave : Verdict::kNextServer;
    // A "4" reply is a temporary failure unless the setting makes it a
    // refusal. In the body it is acted on as it arrives, before its line end.
    const bool temporary =
        !facts.tempFailRefuses && code == '4' && (complete || stage == Stage::kBody);
    if (temporary && RowOf(stage).deferAs != nullptr) return Verdict::kDefer;
    if (stage == Stage::kBody) return Verdict::kRefuse;
    if (stage == Stage::kDataReply && !facts.tempFailRefuses && complete && facts.allRcptsPutOff) {
        return Verdict::kDeferRcpt;
    }
    // No readable answer to the end of data: the server may still have taken
    // it, so the next attempt waits rather than sending a copy at once.
    if (stage == Stage::kEndOfDataReply)
        return complete ? Verdict::kRefuse : Verdict::kBackOffLeave;
    // No (or a broken) reply: a start of "2" leaves it queued, anything else refuses.
    return code == '2' ? Verdict::kLeave : Verdict::kRefuse;
}

}  // namespace bw
