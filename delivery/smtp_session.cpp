#include "delivery/smtp_session.h"

#include <utility>

#include "delivery/session_log.h"
#include "platform/clock.h"

namespace bw {

namespace {
constexpr const char* kLogSend = "*--B->R";
constexpr const char* kLogRecv = "*--B<-R";
constexpr const char* kLogStatus = "*--*--*";
}  // namespace

SmtpSession::SmtpSession(DeliveryContext& ctx, QueuePair pair, TcpSocket& socket,
                         SessionHooks hooks)
    : ctx_(ctx),
      pair_(std::move(pair)),
      ws_(socket),
      hooks_(std::move(hooks)),
      settlement_(ctx_, pair_, minLog_,
                  [this](const char* prefix, const std::string& text) { Log(prefix, text); }) {}

// Seconds on the monotonic clock: every time limit of the conversation is
// measured here, so a step of the wall clock never counts as waiting.
double SmtpSession::Now() const {
    return static_cast<double>(ctx_.clock.MonotonicMs()) / 1000.0;
}

// A wait for a reply ends when its limit has passed or the server has closed
// the connection: nothing more can arrive.
bool SmtpSession::LimitPassed(double seconds) const {
    return closed_ || Now() - stageStart_ >= seconds;
}

void SmtpSession::Log(const char* prefix, const std::string& text) {
    ctx_.log.LogLine(tag_, prefix, text);
}

void SmtpSession::Enter(Stage next, const char* why) {
    if (ctx_.settings.traceStages) {
        Log(kLogStatus, std::string("stage ") + RowOf(stage_).name + " -> " + RowOf(next).name +
                            " (" + why + ")");
    }
    stage_ = next;
    hooks_.stageInterval(RowOf(next).intervalMs);
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
        hooks_.finish();
        return;
    }
    switch (stage_) {
        case Stage::kReadEnvelope:
            return ReadEnvelopeStage();
        case Stage::kConnect:
            return ConnectStage();
        case Stage::kConnecting:
            return StepConnecting();
        case Stage::kNextRcpt:
            return StepNextRcpt();
        case Stage::kData:
            reply_.Clear();
            SendCommand("DATA");
            return Enter(Stage::kDataReply, "DATA sent");
        case Stage::kBody:
            return BodyStage();
        case Stage::kNoRecipients:
            // A message nobody can receive is filed as refused, never counted as delivered.
            Log(kLogStatus, "NO VALID RCPTs!!");
            return Refuse("NO VALID RCPTs!!", false);
        case Stage::kFile:
            return FileStage();
        case Stage::kDone:
            return;
        default:
            return ReplyStage();
    }
}

void SmtpSession::StepConnecting() {
    const bool connected = ws_.State() == TcpSocket::kConnected;
    // A connection that failed (only the fast profile says so) ends the wait.
    if (!connected && !closed_ && Now() - stageStart_ < RowOf(stage_).firstLimit) return;
    // The greeting limits count from the start of connecting.
    if (connected) return Enter(Stage::kGreeting, "connected");
    ConnectFailed();
}

void SmtpSession::StepNextRcpt() {
    ++rcptIdx_;
    if (rcptIdx_ >= rcpts_.size()) return Enter(Stage::kData, "all recipients sent");
    reply_.Clear();
    SendCommand("RCPT TO: <" + rcpts_[rcptIdx_] + ">");
    Enter(Stage::kRcptReply, "RCPT sent");
}

// The wait shared by the reply stages: keep waiting while the reply is not
// complete and the stage's first limit has not passed; where a stage waits for
// continuations, also while its last complete line is one ("220-...") and the
// whole limit has not passed. A reply cut at the cap is judged at once.
bool SmtpSession::Waiting() {
    const StageRow& row = RowOf(stage_);
    if (reply_.Cut()) return false;
    if (!reply_.Complete() && !LimitPassed(row.firstLimit)) return true;
    return row.waitContinuation && reply_.LastLineContinues() && !LimitPassed(row.wholeLimit);
}

void SmtpSession::ReplyStage() {
    if (Waiting()) return;
    Log(kLogRecv, reply_.Text());
    JudgeFacts facts;
    facts.tempFailRefuses = ctx_.settings.tempFailRefuses;
    facts.lastServer = serverIdx_ + 1 >= ctx_.settings.smtpServers.size();
    facts.allRcptsPutOff = rcptTempFails_ + 1 == rcpts_.size();
    const Verdict verdict = JudgeReply(stage_, reply_, facts);
    if (verdict == Verdict::kGoOn) return GoOn();
    const char* silence = RowOf(stage_).silence;
    if (verdict != Verdict::kNextServer && silence != nullptr) {
        Log(kLogStatus, std::string("*** ") + silence + " from " + server_ + " ***");
    }
    Judged(verdict);
}

void SmtpSession::GoOn() {
    switch (stage_) {
        case Stage::kGreeting:
            reply_.Clear();
            SendCommand(heloLine_);
            return Enter(Stage::kHeloReply, "greeted");
        case Stage::kHeloReply:
            reply_.Clear();
            SendCommand("MAIL FROM: <" + mailFrom_ + ">");
            return Enter(Stage::kMailReply, "greeting answered");
        case Stage::kRcptReply:
            TakeRcptReply();
            return Enter(Stage::kNextRcpt, "recipient answered");
        case Stage::kDataReply:
            sendDone_ = true;  // the first piece goes out on the next step
            reply_.Clear();
            return Enter(Stage::kBody, "DATA taken");
        case Stage::kEndOfDataReply:
            Delivered();
            reply_.Clear();
            SendCommand("QUIT");
            return Enter(Stage::kQuitReply, "message taken");
        case Stage::kQuitReply:
            ws_.Close();
            return Enter(Stage::kFile, "QUIT answered");
        case Stage::kClosing:
            ws_.Close();
            if (fileAfterQuit_) return Enter(Stage::kFile, "QUIT answered");
            return LeaveInQueue();
        default:  // kMailReply
            return Enter(Stage::kNextRcpt, "sender taken");
    }
}

// A refused recipient does not stop the delivery; the answer to DATA decides,
// and where no recipient was taken, the first refusal is what decided.
void SmtpSession::TakeRcptReply() {
    const char code = reply_.First();
    if (code == '2') {
        ++rcptAccepted_;
    } else if (code == '4') {
        ++rcptTempFails_;
        lastTempReply_ = reply_.OneLine();
    } else if (firstRefusal_.empty()) {
        firstRefusal_ = "RCPT TO: " + reply_.OneLine();
    }
}

void SmtpSession::Judged(Verdict verdict) {
    // After an answer the server can take a QUIT; after a 421 it is closing.
    const bool quit = reply_.Complete() && !reply_.Text().starts_with("421");
    const std::string said = reply_.Complete() ? reply_.OneLine() : reply_.FirstLine();
    const char* command = RowOf(stage_).deferAs;
    switch (verdict) {
        case Verdict::kNextServer:
            ws_.Close();
            reply_.Clear();
            return NextServer();
        case Verdict::kDefer:
            if (stage_ == Stage::kHeloReply) return Defer(heloLine_.substr(0, 4), said, quit);
            return Defer(command != nullptr ? command : "reply", said, quit);
        case Verdict::kDeferRcpt:
            // Every recipient was put off for now: the refusal of DATA follows from that.
            return Defer("RCPT TO", lastTempReply_, quit);
        case Verdict::kRefuse:
            if (stage_ == Stage::kDataReply && rcptAccepted_ == 0 && !firstRefusal_.empty()) {
                return Refuse(firstRefusal_, quit);
            }
            return Refuse(said, quit);
        default:  // kLeave (kGoOn never comes here)
            ws_.Close();
            return LeaveInQueue();
    }
}

void SmtpSession::SendCommand(const std::string& command) {
    Log(kLogSend, command);
    ws_.SendData(command + "\r\n");
    stageStart_ = Now();
}

}  // namespace bw
