#include "delivery/stage_table.h"

#include <array>
#include <cctype>

namespace bw {

namespace {

constexpr const char* kNoResponse = "NO RESPONSE";
constexpr const char* kNoOrBad = "NO OR BAD RESPONSE";

// Indexed by Stage. Limits are seconds on the monotonic clock.
constexpr std::array<StageRow, 17> kRows{{
    {"kReadEnvelope", 250, 0, 0, false, nullptr, nullptr},
    {"kConnect", 250, 0, 0, false, nullptr, nullptr},
    {"kConnecting", 250, 5, 5, false, nullptr, nullptr},
    {"kGreeting", 250, 10, 90, true, kNoResponse, nullptr},
    {"kHeloReply", 250, 90, 90, true, kNoOrBad, "HELO"},
    {"kMailReply", 250, 90, 90, false, kNoResponse, "MAIL FROM"},
    {"kNextRcpt", 5, 0, 0, false, nullptr, nullptr},
    {"kRcptReply", 100, 90, 90, false, kNoResponse, "RCPT TO"},
    {"kData", 5, 0, 0, false, nullptr, nullptr},
    {"kDataReply", 100, 90, 90, false, kNoOrBad, "DATA"},
    {"kBody", 1, 90, 90, false, nullptr, "message body"},
    {"kEndOfDataReply", 100, 90, 90, false, kNoOrBad, "end of data"},
    {"kQuitReply", 100, 90, 90, false, nullptr, nullptr},
    {"kClosing", 100, 5, 5, false, nullptr, nullptr},
    {"kNoRecipients", 250, 0, 0, false, nullptr, nullptr},
    {"kFile", 100, 0, 0, false, nullptr, nullptr},
    {"kDone", 100, 0, 0, false, nullptr, nullptr},
}};

}  // namespace

const StageRow& RowOf(Stage stage) {
    return kRows[static_cast<std::size_t>(stage)];
}

namespace {

// The reply has a code: its first three characters are digits.
bool HasCode(const ReplyBuffer& reply) {
    const std::string& t = reply.Text();
    return t.size() >= 3 && std::isdigit(static_cast<unsigned char>(t[0])) &&
           std::isdigit(static_cast<unsigned char>(t[1])) &&
           std::isdigit(static_cast<unsigned char>(t[2]));
}

}  // namespace

Verdict JudgeReply(Stage stage, const ReplyBuffer& reply, const JudgeFacts& facts) {
    if (stage == Stage::kQuitReply || stage == Stage::kClosing) return Verdict::kGoOn;
    const char code = reply.First();
    // In the body a reply is acted on as soon as its code is in, before its line end.
    const bool answered = reply.Complete() || (stage == Stage::kBody && HasCode(reply));
    if (stage == Stage::kGreeting) {
        if (answered && code == '2') return Verdict::kGoOn;
        return facts.lastServer ? Verdict::kLeave : Verdict::kNextServer;
    }
    if (!answered) return Verdict::kLeave;
    // 421: the server closes the channel without having judged the message.
    if (reply.Text().starts_with("421")) return Verdict::kDefer;
    // Only DATA may be answered with "3" (354, go ahead); any other answer
    // to RCPT goes on: a refused recipient does not stop the others.
    const bool positive = code == '2' || (stage == Stage::kDataReply && code == '3');
    if (stage != Stage::kBody && (positive || stage == Stage::kRcptReply)) return Verdict::kGoOn;
    if (!facts.tempFailRefuses) {
        // Every recipient was put off: the refusal of DATA follows from that.
        if (stage == Stage::kDataReply && facts.allRcptsPutOff) return Verdict::kDeferRcpt;
        if (code == '4') return Verdict::kDefer;
    }
    // A "5" (or by the setting a "4") refuses; anything else is no SMTP answer.
    return code == '4' || code == '5' ? Verdict::kRefuse : Verdict::kLeave;
}

}  // namespace bw
