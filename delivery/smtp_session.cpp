#include "delivery/smtp_session.h"

#include <utility>

#include "delivery/session_log.h"
#include "platform/clock.h"

namespace bw {

SmtpSession::SmtpSession(DeliveryContext& ctx, QueuePair pair, TcpSocket& socket)
    : ctx_(ctx),
      pair_(std::move(pair)),
      ws_(socket),
      settlement_(ctx_, pair_, row_,
                  [this](const char* prefix, const std::string& text) { Log(prefix, text); }),
      body_(ctx_, pair_,
            [this](const char* prefix, const std::string& text) { Log(prefix, text); }) {}

// Seconds on the monotonic clock: every time limit of the conversation is
// measured here, so a step of the wall clock never counts as waiting.
double SmtpSession::Now() const {
    return static_cast<double>(ctx_.clock.MonotonicMs()) / 1000.0;
}

void SmtpSession::Log(const char* prefix, const std::string& text) {
    ctx_.log.LogLine(tag_, prefix, text);
}

// Does what entering `next` does by its row: closes the connection or sends
// the command, then waits afresh (an empty reply, the stage clock from now),
// unless the stage carries on the wait of the one before.
void SmtpSession::Enter(Stage next, const char* why) {
    const StageRow& row = RowOf(next);
    if (row.command == Command::kHangUp) ws_.Close();
    if (!row.keepsWait) {
        reply_.Clear();
        stageStart_ = Now();
    }
    if (row.command != Command::kNone && row.command != Command::kHangUp) {
        const std::string line = CommandLine(row.command, env_, facts_.rcpts.answered);
        Log(kLogSend, line);
        ws_.SendData(line + "\r\n");
    }
    if (ctx_.settings.traceStages) {
        Log(kLogStatus,
            std::string("stage ") + RowOf(stage_).name + " -> " + row.name + " (" + why + ")");
    }
    stage_ = next;
    ++entered_;
}

bool SmtpSession::TakeData() {
    if (ws_.BytesReceived() == 0) return false;
    const std::string data = ws_.TakeData();
    if (data.empty()) return false;
    reply_.Append(data);
    lastData_ = Now();
    return true;
}

void SmtpSession::Step() {
    if (!pair_.Open()) {
        pair_.Release();
        stage_ = Stage::kDone;  // over: nothing to send
        return;
    }
    const double waited = Now() - stageStart_;
    switch (stage_) {
        case Stage::kReadEnvelope:
            return ReadEnvelopeStage();
        case Stage::kConnect:
            return ConnectStage();
        case Stage::kConnecting:
            // The greeting's limits count from the start of connecting. A
            // connection that failed (only the fast profile says so) ends the wait.
            if (ws_.State() == TcpSocket::kConnected) return Enter(Stage::kGreeting, "connected");
            if (!LimitPassed(RowOf(stage_).firstLimit, waited, server_.closed)) return;
            return ConnectFailed();
        case Stage::kNextRcpt:
            if (facts_.rcpts.answered < env_.recipients.size()) {
                return Enter(Stage::kRcptReply, "RCPT sent");
            }
            return Enter(Stage::kData, "all recipients sent");
        case Stage::kData:
            return Enter(Stage::kDataReply, "DATA sent");
        case Stage::kBody:
            return BodyStage();
        case Stage::kNoRecipients:
            // A message nobody can receive is filed as refused, never counted as delivered.
            Log(kLogStatus, "NO VALID RCPTs!!");
            return Settle(Move::kRefuse, "NO VALID RCPTs!!", false);
        case Stage::kFile:
            Enter(Stage::kDone, "filing");
            return settlement_.File();
        case Stage::kDone:
            return;
        default:
            if (!AwaitsReply(stage_, reply_, waited, server_.closed)) Answer();
            return;
    }
}

// The server's reply (or what came of it before the limit), judged once; the
// session does what the judgement says.
void SmtpSession::Answer() {
    Log(kLogRecv, reply_.Text());
    const Judgement judged = Judge(stage_, reply_, facts_);
    if (judged.silence != nullptr) {
        Log(kLogStatus, std::string("*** ") + judged.silence + " from " + server_.name + " ***");
    }
    switch (judged.move) {
        case Move::kGoOn:
            // A refused recipient does not stop the others; DATA's answer decides.
            if (stage_ == Stage::kRcptReply) facts_.rcpts.Take(reply_);
            return Enter(judged.next, judged.why);
        case Move::kDeliver:
            Settle(Move::kDeliver, "", false);
            return Enter(judged.next, judged.why);
        case Move::kNextServer:
            ++server_.index;
            return Enter(Stage::kConnect, "next server");
        case Move::kLeave:
            ws_.Close();
            return LeaveInQueue();
        default:  // kDefer, kRefuse
            return Settle(judged.move, judged.said, judged.quit);
    }
}

}  // namespace bw
