// The ends of a conversation: delivered, refused, deferred or broken off,
// each handed to the settlement as its outcome.
#include "delivery/session_log.h"
#include "delivery/smtp_session.h"
#include "platform/clock.h"
#include "platform/log_text.h"
#include "platform/service.h"
#include "platform/socket.h"

namespace bw {

void SmtpSession::Begin() {
    lastData_ = Now();
    row_.ip = "BWTarnOut";
    row_.from = "***";
    row_.to = "***";
    row_.when = ctx_.clock.Now();
    row_.action = "*** Connection lost *** " + pair_.name;
    tag_ = ctx_.log.InitLogSession(pair_.accPath, pair_.folder + pair_.name);
}

// The outcome, settled at once with its minilog action (delivered and refused:
// the audit and the sent record too). From a delivery on the pair is never
// sent again, only filed; the QUIT follows as the judgement's next stage. A
// refused or deferred pair ends the conversation: with QUIT where the server
// is still in it (RFC 5321 asks for it; the wait is short), else at once; a
// refused one is then filed, a deferred one waits the back-off in the queue.
void SmtpSession::Settle(Move outcome, const std::string& said, bool quit) {
    using Kind = DeliveryOutcome::Kind;
    if (outcome == Move::kDeliver) {
        return settlement_.Settle({Kind::kDelivered, "900 Delivered " + pair_.name +
                                                         " to: " + ws_.RemoteHostIP() + ": " +
                                                         std::to_string(ws_.RemotePort())});
    }
    const bool refused = outcome == Move::kRefuse;
    settlement_.Settle(
        {refused ? Kind::kRefused : Kind::kDeferred,
         std::string(refused ? "590 Peer Delivery ERROR " : "490 Peer Delivery DEFERRED ") +
             pair_.name + " (" + EscapeControls(said) + ")"});
    facts_.settled = outcome;
    if (quit && !server_.closed && ws_.State() == TcpSocket::kConnected) {
        return Enter(Stage::kClosing, "outcome settled");
    }
    ws_.Close();
    if (refused) return Enter(Stage::kFile, "refused");
    LeaveInQueue();
}

void SmtpSession::LeaveInQueue() {
    settlement_.Leave();
    pair_.Release();
    stage_ = Stage::kDone;  // over, left in the queue
}

void SmtpSession::End() {
    settlement_.End();
}

SessionResult SmtpSession::Result() const {
    return settlement_.Result();
}

bool SmtpSession::AttemptDue() {
    return settlement_.AttemptDue();
}

const char* SessionResultName(SessionResult result) {
    switch (result) {
        case SessionResult::kDelivered:
            return "delivered";
        case SessionResult::kRefused:
            return "refused";
        default:
            return "left";
    }
}

}  // namespace bw
