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
    minLog_.sIP = "BWTarnOut";
    minLog_.sFrom = "***";
    minLog_.sTo = "***";
    minLog_.dTimestamp = ctx_.clock.Now();
    minLog_.sAction = "*** Connection lost *** " + pair_.name;
    tag_ = ctx_.log.InitLogSession(pair_.accPath, pair_.folder + pair_.name);
}

// Refused by the server (or never sendable): settled at once (audit, sent
// record), then the filing follows the QUIT.
void SmtpSession::Refuse(const std::string& why, bool quit) {
    settlement_.Settle({DeliveryOutcome::Kind::kRefused, "590 Peer Delivery ERROR " + pair_.name +
                                                             " (" + EscapeControls(why) + ")"});
    CloseThen(true, quit);
}

// Taken by the server (its answer to the end of data): from here on the pair
// is never sent again, only filed.
void SmtpSession::Delivered() {
    settlement_.Settle({DeliveryOutcome::Kind::kDelivered, "900 Delivered " + pair_.name +
                                                               " to: " + ws_.RemoteHostIP() + ": " +
                                                               std::to_string(ws_.RemotePort())});
}

// Put off for now: the minilog action names the command and the reply; the
// pair waits the back-off in the queue.
void SmtpSession::Defer(const std::string& command, const std::string& reply, bool quit) {
    settlement_.Settle({DeliveryOutcome::Kind::kDeferred, "490 Peer Delivery DEFERRED " +
                                                              pair_.name + " (" + command + ": " +
                                                              EscapeControls(reply) + ")"});
    CloseThen(false, quit);
}

// Ends the conversation after its outcome: with QUIT where the server is
// still in it (RFC 5321 asks for it; the wait is short), else at once.
void SmtpSession::CloseThen(bool file, bool quit) {
    reply_.Clear();
    if (quit && !closed_ && ws_.State() == TcpSocket::kConnected) {
        fileAfterQuit_ = file;
        SendCommand("QUIT");
        return Enter(Stage::kClosing, "outcome settled");
    }
    ws_.Close();
    if (file) return Enter(Stage::kFile, "refused");
    LeaveInQueue();
}

void SmtpSession::LeaveInQueue() {
    settlement_.Leave();
    pair_.Release();
    hooks_.finish();
}

void SmtpSession::End() {
    settlement_.End();
}

void SmtpSession::FileStage() {
    Enter(Stage::kDone, "filing");
    settlement_.File();
    hooks_.finish();
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
