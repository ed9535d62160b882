#include "delivery/stage_table.h"

#include <array>
#include <cctype>

namespace bw {

namespace {

constexpr const char* kNoResponse = "NO RESPONSE";
constexpr const char* kNoOrBad = "NO OR BAD RESPONSE";

using C = Command;
using S = Stage;

// Indexed by Stage. Limits are seconds on the monotonic clock. Columns: name,
// what entering sends, keeps the wait, interval (ms), first and whole limit,
// waits past "220-", silence, deferral's name, where a good reply leads, why.
constexpr std::array<StageRow, 24> kRows{{
    {"kReadEnvelope", C::kNone, false, 250, 0, 0, false, nullptr, nullptr, S::kDone, nullptr},
    {"kConnect", C::kHangUp, false, 250, 0, 0, false, nullptr, nullptr, S::kDone, nullptr},
    {"kConnecting", C::kNone, false, 250, 5, 5, false, nullptr, nullptr, S::kDone, nullptr},
    {"kGreeting", C::kNone, true, 250, 10, 90, true, kNoResponse, nullptr, S::kHeloReply,
     "greeted"},
    {"kHeloReply", C::kHelo, false, 250, 90, 90, true, kNoOrBad, nullptr, S::kMailReply,
     "greeting answered"},
    {"kHeloAfterEhlo", C::kHeloOnly, false, 250, 90, 90, true, kNoOrBad, "HELO", S::kMailReply,
     "greeting answered"},
    {"kStartTlsReply", C::kStartTls, false, 250, 90, 90, false, kNoOrBad, "TLS: STARTTLS",
     S::kTlsHandshake, "ready for TLS"},
    {"kTlsHandshake", C::kHandshake, false, 100, 30, 30, false, nullptr, "TLS", S::kHeloReply,
     "TLS established"},
    {"kAuthReply", C::kAuth, false, 250, 90, 90, false, kNoOrBad, "AUTH", S::kMailReply,
     "authenticated"},
    {"kAuthUserReply", C::kAuthUser, false, 250, 90, 90, false, kNoOrBad, "AUTH",
     S::kAuthPasswordReply, "user name taken"},
    {"kAuthPasswordReply", C::kAuthPassword, false, 250, 90, 90, false, kNoOrBad, "AUTH",
     S::kMailReply, "authenticated"},
    {"kMailReply", C::kMailFrom, false, 250, 90, 90, false, kNoResponse, "MAIL FROM", S::kNextRcpt,
     "sender taken"},
    {"kNextRcpt", C::kNone, false, 5, 0, 0, false, nullptr, nullptr, S::kDone, nullptr},
    {"kRcptReply", C::kRcptTo, false, 100, 90, 90, false, kNoResponse, "RCPT TO", S::kNextRcpt,
     "recipient answered"},
    {"kData", C::kNone, false, 5, 0, 0, false, nullptr, nullptr, S::kDone, nullptr},
    {"kDataReply", C::kData, false, 100, 90, 90, false, kNoOrBad, "DATA", S::kBody, "DATA taken"},
    {"kBody", C::kNone, false, 1, 90, 90, false, nullptr, "message body", S::kDone, nullptr},
    {"kEndOfDataReply", C::kNone, false, 100, 90, 90, false, kNoOrBad, "end of data", S::kQuitReply,
     "message taken"},
    {"kQuitReply", C::kQuit, false, 100, 90, 90, false, nullptr, nullptr, S::kFile,
     "QUIT answered"},
    {"kClosing", C::kQuit, false, 100, 5, 5, false, nullptr, nullptr, S::kFile, "QUIT answered"},
    {"kNoRecipients", C::kNone, false, 250, 0, 0, false, nullptr, nullptr, S::kDone, nullptr},
    {"kFile", C::kHangUp, false, 100, 0, 0, false, nullptr, nullptr, S::kDone, nullptr},
    {"kHandOver", C::kNone, false, 100, 2, 2, false, nullptr, nullptr, S::kDone, nullptr},
    {"kDone", C::kNone, false, 100, 0, 0, false, nullptr, nullptr, S::kDone, nullptr},
}};

// The reply has a code: its first three characters are digits.
bool HasCode(const ReplyBuffer& reply) {
    const std::string& t = reply.Text();
    return t.size() >= 3 && std::isdigit(static_cast<unsigned char>(t[0])) &&
           std::isdigit(static_cast<unsigned char>(t[1])) &&
           std::isdigit(static_cast<unsigned char>(t[2]));
}

// An end of the conversation with this server: left, deferred or refused,
// naming `said`, with the status line of a missing or bad reply (the next
// server is tried without one). After an answer the server can take a QUIT;
// after a 421 it is closing.
Judgement Ending(Move move, Stage stage, const ReplyBuffer& reply, std::string said) {
    Judgement j;
    j.move = move;
    j.said = std::move(said);
    j.quit = reply.Complete() && !reply.Text().starts_with("421");
    if (move != Move::kNextServer) j.silence = RowOf(stage).silence;
    return j;
}

// Pipelined, DATA is sent whatever became of the recipients: a server that
// says go ahead with none taken gets no body (and no QUIT in its data mode);
// the recipients' answers decide.
Judgement NoneTaken(Stage stage, const ReplyBuffer& reply, const JudgeFacts& facts,
                    const std::string& named) {
    const RcptTally& rcpts = facts.rcpts;
    Judgement none = Ending(Move::kRefuse, stage, reply,
                            rcpts.firstRefusal.empty() ? named : rcpts.firstRefusal);
    if (rcpts.putOff == facts.recipients && !facts.tempFailRefuses) {
        none = Ending(Move::kDefer, stage, reply, "RCPT TO: " + rcpts.lastPutOff);
    }
    none.quit = false;
    return none;
}

// STARTTLS and AUTH set the hop up: a refusal is the hop's problem (its
// settings, the server's), never the message's.
Judgement JudgeHopSetUp(Stage stage, const ReplyBuffer& reply, const JudgeFacts& facts,
                        Judgement goOn, const std::string& named) {
    const char code = reply.First();
    // AUTH LOGIN asks for the user name, then the password ("334").
    if (stage == Stage::kAuthReply && code == '3' && facts.authLogin) {
        goOn.next = Stage::kAuthUserReply;
        goOn.why = "user name asked for";
        return goOn;
    }
    const bool positive = stage == Stage::kAuthUserReply ? code == '3' : code == '2';
    if (positive) return goOn;
    Judgement failed = Ending(Move::kHopFailed, stage, reply, named);
    failed.silence = nullptr;
    return failed;
}

}  // namespace

const StageRow& RowOf(Stage stage) {
    return kRows[static_cast<std::size_t>(stage)];
}

std::string GreetingName(const Envelope& env) {
    const std::size_t blank = env.helo.find(' ');
    const std::size_t begin =
        blank == std::string::npos ? blank : env.helo.find_first_not_of(' ', blank);
    return begin == std::string::npos ? "BWDTarnOUT" : env.helo.substr(begin);
}

std::string CommandLine(Command command, const Envelope& env, const JudgeFacts& facts) {
    const std::size_t rcpt = facts.rcpts.answered;
    switch (command) {
        case Command::kHelo:
            return facts.ehloFirst ? "EHLO " + GreetingName(env) : env.helo;
        case Command::kHeloOnly:
            return "HELO " + GreetingName(env);
        case Command::kMailFrom: {
            std::string lines = "MAIL FROM: <" + env.sender + ">" + facts.mailParameters;
            if (!facts.pipelined) return lines;
            for (const std::string& r : env.recipients) lines += "\r\nRCPT TO: <" + r + ">";
            return lines + "\r\nDATA";
        }
        case Command::kRcptTo:
            return facts.pipelined ? "" : "RCPT TO: <" + env.recipients[rcpt] + ">";
        case Command::kData:
            return facts.pipelined ? "" : "DATA";
        case Command::kQuit:
            return "QUIT";
        case Command::kStartTls:
            return "STARTTLS";
        default:
            return "";
    }
}

bool LimitPassed(double limit, double waited, bool closed) {
    return closed || waited >= limit;
}

bool AwaitsReply(Stage stage, const ReplyBuffer& reply, double waited, bool closed) {
    const StageRow& row = RowOf(stage);
    if (reply.Cut()) return false;
    if (!reply.Complete() && !LimitPassed(row.firstLimit, waited, closed)) return true;
    return row.waitContinuation && reply.LastLineContinues() &&
           !LimitPassed(row.wholeLimit, waited, closed);
}

void RcptTally::Take(const ReplyBuffer& reply) {
    ++answered;
    const char code = reply.First();
    if (code == '2') {
        ++accepted;
    } else if (code == '4') {
        ++putOff;
        lastPutOff = reply.OneLine();
    } else if (firstRefusal.empty()) {
        firstRefusal = "RCPT TO: " + reply.OneLine();
    }
}

Judgement Judge(Stage stage, const ReplyBuffer& reply, const JudgeFacts& facts) {
    const StageRow& row = RowOf(stage);
    Judgement goOn;
    goOn.move = stage == Stage::kEndOfDataReply ? Move::kDeliver : Move::kGoOn;
    goOn.next = row.next;
    goOn.why = row.why;
    // The answer to QUIT decides nothing: a refused pair is filed, a deferred one left.
    if (stage == Stage::kQuitReply) return goOn;
    if (stage == Stage::kClosing) return facts.settled == Move::kRefuse ? goOn : Judgement();
    const char code = reply.First();
    // In the body a reply is acted on as soon as its code is in, before its line end.
    const bool answered = reply.Complete() || (stage == Stage::kBody && HasCode(reply));
    if (stage == Stage::kGreeting) {
        if (answered && code == '2') return goOn;
        return Ending(facts.lastServer ? Move::kLeave : Move::kNextServer, stage, reply, "");
    }
    if (!answered) return Ending(Move::kLeave, stage, reply, "");
    // A server that does not know EHLO is greeted again with HELO.
    if (stage == Stage::kHeloReply && facts.ehloFirst && code == '5') {
        Judgement helo = goOn;
        helo.next = Stage::kHeloAfterEhlo;
        helo.why = "EHLO refused";
        return helo;
    }
    const std::string said = reply.Complete() ? reply.OneLine() : reply.FirstLine();
    // A deferral names the command (the greeting command as sent) and the reply.
    std::string named = row.deferAs != nullptr ? row.deferAs : "reply";
    if (row.command == Command::kHelo) named = facts.greeting;
    named += ": " + said;
    // 421: the server closes the channel without having judged the message.
    if (reply.Text().starts_with("421")) return Ending(Move::kDefer, stage, reply, named);
    if (row.command >= Command::kStartTls) return JudgeHopSetUp(stage, reply, facts, goOn, named);
    const RcptTally& rcpts = facts.rcpts;
    const bool data = stage == Stage::kDataReply;
    if (data && facts.pipelined && code == '3' && rcpts.accepted == 0) {
        return NoneTaken(stage, reply, facts, named);
    }
    // Only DATA may be answered with "3" (354, go ahead); any other answer
    // to RCPT goes on: a refused recipient does not stop the others.
    const bool positive = code == '2' || (stage == Stage::kDataReply && code == '3');
    if (stage != Stage::kBody && (positive || stage == Stage::kRcptReply)) return goOn;
    if (!facts.tempFailRefuses) {
        // Every recipient was put off: the refusal of DATA follows from that.
        if (data && rcpts.putOff == facts.recipients) {
            return Ending(Move::kDefer, stage, reply, "RCPT TO: " + rcpts.lastPutOff);
        }
        if (code == '4') return Ending(Move::kDefer, stage, reply, named);
    }
    // A "5" (or by the setting a "4") refuses; anything else is no SMTP answer.
    if (code != '4' && code != '5') return Ending(Move::kLeave, stage, reply, "");
    // Where no recipient was taken, the first refusal is what decided.
    if (data && rcpts.accepted == 0 && !rcpts.firstRefusal.empty()) {
        return Ending(Move::kRefuse, stage, reply, rcpts.firstRefusal);
    }
    return Ending(Move::kRefuse, stage, reply, said);
}

}  // namespace bw
