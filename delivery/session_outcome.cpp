// The ends of a conversation: refused, left in the queue (with or without a
// back-off), or answered by the server and then settled (audit, sent record,
// filing) in that order.
#include "delivery/filing.h"
#include "delivery/session_log.h"
#include "delivery/smtp_session.h"
#include "platform/clock.h"
#include "platform/log_text.h"
#include "platform/service.h"
#include "platform/socket.h"

namespace bw {

namespace {
constexpr const char* kLogStatus = "*--*--*";
constexpr const char* kLogError = "!!!";
// How long a pair whose filing failed after the server had answered waits
// before its filing is tried again.
constexpr std::int64_t kFilingRetryMs = 60 * 1000;
}  // namespace

void SmtpSession::Begin() {
    lastData_ = Now();
    minLog_.sIP = "BWTarnOut";
    minLog_.sFrom = "***";
    minLog_.sTo = "***";
    minLog_.dTimestamp = ctx_.clock.Now();
    minLog_.sAction = "*** Connection lost *** " + pair_.name;
    tag_ = ctx_.log.InitLogSession(pair_.accPath, pair_.folder + pair_.name);
}

// Refused by the server (or never sendable): the audit and the sent record
// are written at once, then the filing follows the QUIT.
void SmtpSession::Refuse(const std::string& why, bool quit) {
    refused_ = true;
    minLog_.sAction = "590 Peer Delivery ERROR " + pair_.name + " (" + EscapeControls(why) + ")";
    Settle();
    CloseThen(true, quit);
}

// Put off for now: the minilog action names the command and the reply; the
// pair waits the back-off in the queue.
void SmtpSession::Defer(const std::string& command, const std::string& reply, bool quit) {
    minLog_.sAction = "490 Peer Delivery DEFERRED " + pair_.name + " (" + command + ": " +
                      EscapeControls(reply) + ")";
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
    BackOff();
    pair_.Release(ctx_.files);
    hooks_.finish();
}

// Every attempt that leaves its pair in the queue sets the back-off once, so
// no pair is tried again within minutes, whatever stopped it.
void SmtpSession::BackOff() {
    if (!pairKnown_ || backedOff_ || recorded_) return;
    backedOff_ = true;
    const std::int64_t waitMs = ctx_.sent.DeferPair(pairId_, pair_.name, ctx_.clock.MonotonicMs());
    Log(kLogStatus, "*** next attempt in " + std::to_string(waitMs / 60000) + " minutes ***");
}

void SmtpSession::End() {
    if (!filing_) BackOff();
    WriteAudit();
}

// The minilog row, once: at the outcome of a pair the server has answered
// for, else when the window unloads. A row that cannot be written waits in
// the audit spool.
void SmtpSession::WriteAudit(const char* counted) {
    if (audited_) return;
    audited_ = true;
    // A delivery's count goes with its row, as one record.
    const ErrorState err = counted != nullptr ? ctx_.audit.AddCountedMinLog(minLog_, counted)
                                              : ctx_.audit.AddMinLog(minLog_);
    if (err.Failed()) {
        Log("*-*-*", "MINILOG ERROR: " + std::to_string(err.number) + " " + err.description);
    }
}

// Remembers that the server has answered for this pair, before it is filed.
void SmtpSession::RecordSent() {
    if (!pairKnown_ || recorded_) return;
    recorded_ = true;
    ctx_.sent.RememberSent({pairId_, pair_.name, refused_, 0});
}

// Settles a pair the server has answered for (at its answer to the end of
// data, or at the filing). The audit (count and minilog row, spooled when the
// database is away) is written before the sent record, and the record before
// the filing: a kill between the server's answer and the record sends the pair
// once more (with a row of its own), a kill after it files the pair at the
// next start without sending it; no delivery is left without its row and count.
void SmtpSession::Settle() {
    if (!audited_ && !refused_) {
        minLog_.sAction = "900 Delivered " + pair_.name + " to: " + ws_.RemoteHostIP() + ": " +
                          std::to_string(ws_.RemotePort());
        WriteAudit("delivered");
    }
    WriteAudit();
    RecordSent();
}

void SmtpSession::AfterFiling(bool filed, const ErrorState& err) {
    if (!pairKnown_) return;
    if (filed) {
        ctx_.sent.ForgetSent(pairId_);
        ctx_.sent.ClearDeferral(pairId_);
        return;
    }
    if (SentEntry* e = ctx_.sent.FindSent(pairId_, pair_.name)) {
        e->nextFilingMs = ctx_.clock.MonotonicMs() + kFilingRetryMs;
    }
    if (ctx_.journal != nullptr) {
        ctx_.journal->LogEvent(2, 110,
                               "Filing " + pair_.QueuePath() + pair_.name +
                                   " failed: " + err.description +
                                   "; it is not sent again, its filing is retried in a minute");
    }
}

void SmtpSession::FileStage() {
    filing_ = true;
    Enter(Stage::kDone, "filing");
    Settle();
    ErrorState err;
    const bool filed =
        FilePair(ctx_.files, pair_, refused_, ctx_.settings.useTrash, err, ctx_.syncLater);
    if (!filed) Log(kLogError, "ERROR: filing " + pair_.name + ": " + err.description);
    AfterFiling(filed, err);
    TouchChangedFlag(pair_.accPath, ctx_.clock.Now(), ctx_.changedLater);
    hooks_.finish();
}

SessionResult SmtpSession::Result() const {
    if (!filing_) return SessionResult::kLeft;
    return refused_ ? SessionResult::kRefused : SessionResult::kDelivered;
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

// A pair the server has answered for is only filed again (once a minute); a
// pair in its back-off waits. Either way the window is not loaded: no
// conversation, no log lines, no minilog row.
bool SmtpSession::AttemptDue() {
    pairKnown_ = IdentifyPair(ctx_.files, pair_.datFile, pair_.msgFile, pairId_);
    if (!pairKnown_) return true;
    const std::int64_t now = ctx_.clock.MonotonicMs();
    if (SentEntry* e = ctx_.sent.FindSent(pairId_, pair_.name)) {
        if (now >= e->nextFilingMs) {
            refused_ = e->refused;
            recorded_ = true;
            ErrorState err;
            const bool filed =
                FilePair(ctx_.files, pair_, refused_, ctx_.settings.useTrash, err, ctx_.syncLater);
            if (filed) TouchChangedFlag(pair_.accPath, ctx_.clock.Now(), ctx_.changedLater);
            AfterFiling(filed, err);
        }
        return false;
    }
    return now >= ctx_.sent.RetryNotBefore(pairId_, pair_.name);
}

}  // namespace bw
