#include "delivery/settlement.h"

#include <utility>

#include "delivery/back_off.h"
#include "delivery/filing.h"
#include "delivery/session_log.h"
#include "platform/clock.h"
#include "platform/service.h"

namespace bw {

namespace {
// How long a pair whose filing failed after the server had answered waits
// before its filing is tried again.
constexpr std::int64_t kFilingRetryMs = 60 * 1000;
}  // namespace

Settlement::Settlement(DeliveryContext& ctx, QueuePair& pair, MinilogRow& record, LogLine log)
    : ctx_(ctx), pair_(pair), record_(record), log_(std::move(log)) {}

bool Settlement::Answered() const {
    return outcome_ == DeliveryOutcome::Kind::kDelivered ||
           outcome_ == DeliveryOutcome::Kind::kRefused;
}

// A pair the server has answered for is only filed again (once a minute); a
// pair in its back-off waits. Either way no conversation starts: no log
// lines, no minilog row.
bool Settlement::AttemptDue() {
    pairKnown_ = IdentifyPair(ctx_.files, pair_.datFile, pair_.msgFile, pairId_);
    if (!pairKnown_) return true;
    const std::int64_t now = ctx_.clock.MonotonicMs();
    if (SentEntry* e = ctx_.sent.FindSent(pairId_, pair_.name)) {
        if (now >= e->nextFilingMs) {
            outcome_ =
                e->refused ? DeliveryOutcome::Kind::kRefused : DeliveryOutcome::Kind::kDelivered;
            recorded_ = true;
            audited_ = true;  // written when the server answered
            ErrorState err;
            FileNow(err);
        }
        return false;
    }
    return now >= ctx_.backOff.RetryNotBefore(pairId_, pair_.name);
}

void Settlement::Settle(const DeliveryOutcome& outcome) {
    if (Answered() || left_ != nullptr) return;  // settled once: the first outcome holds
    outcome_ = outcome.kind;
    record_.action = outcome.action;
    switch (outcome.kind) {
        case DeliveryOutcome::Kind::kDelivered:
            WriteAudit("delivered");  // the count goes with its row, as one record
            return RecordSent();
        case DeliveryOutcome::Kind::kRefused:
            WriteAudit();
            return RecordSent();
        case DeliveryOutcome::Kind::kServerBusy:
            audited_ = true;  // no row: the pair was never in a conversation
            backedOff_ = true;
            left_ = "busy";
            return;
        default:
            // The back-off follows when the conversation is over (Finish).
            left_ = outcome.left != nullptr ? outcome.left : "broken";
            return;
    }
}

void Settlement::Finish() {
    if (!Answered()) return BackOff();
    filing_ = true;
    ErrorState err;
    if (!FileNow(err)) log_(kLogError, "ERROR: filing " + pair_.name + ": " + err.description);
}

// Every attempt that leaves its pair in the queue sets the back-off once, so
// no pair is tried again within minutes, whatever stopped it.
void Settlement::BackOff() {
    if (!pairKnown_ || backedOff_ || recorded_) return;
    backedOff_ = true;
    const std::int64_t waitMs = ctx_.backOff.DeferPair(
        pairId_, pair_.name, LeftReason(), ctx_.clock.MonotonicMs(), ctx_.clock.UnixSeconds());
    log_(kLogStatus, "*** next attempt in " + std::to_string(waitMs / 60000) + " minutes ***");
}

void Settlement::End() {
    if (!filing_) BackOff();
    WriteAudit();
}

// The minilog row, once: at the outcome of a pair the server has answered
// for, else when the session ends. A row that cannot be written waits in the
// audit spool.
void Settlement::WriteAudit(const char* counted) {
    if (audited_) return;
    audited_ = true;
    const ErrorState err = counted != nullptr ? ctx_.audit.AddCountedMinLog(record_, counted)
                                              : ctx_.audit.AddMinLog(record_);
    if (err.Failed()) {
        log_(kLogDatabase, "MINILOG ERROR: " + std::to_string(err.number) + " " + err.description);
    }
}

// Remembers that the server has answered for this pair, before it is filed.
void Settlement::RecordSent() {
    if (!pairKnown_ || recorded_) return;
    recorded_ = true;
    ctx_.sent.RememberSent({pairId_, pair_.name, Refused(), 0});
}

// The one filing: the pair moves, the sent record forgets it once it is
// filed (or keeps it, for a retry in a minute), Changed.flg is rewritten.
bool Settlement::FileNow(ErrorState& err) {
    const bool filed =
        FilePair(ctx_.files, pair_, Refused(), ctx_.settings.useTrash, err, *ctx_.folderSync);
    ctx_.changedFlag->Changed(pair_.accPath, ctx_.clock.Now());
    if (filed) {
        if (pairKnown_) {
            ctx_.sent.ForgetSent(pairId_);
            ctx_.backOff.ClearDeferral(pairId_);
        }
        return true;
    }
    if (!pairKnown_) return false;
    if (SentEntry* e = ctx_.sent.FindSent(pairId_, pair_.name)) {
        e->nextFilingMs = ctx_.clock.MonotonicMs() + kFilingRetryMs;
    }
    if (ctx_.journal != nullptr) {
        ctx_.journal->LogEvent(2, 110,
                               "Filing " + pair_.QueuePath() + pair_.name +
                                   " failed: " + err.description +
                                   "; it is not sent again, its filing is retried in a minute");
    }
    return false;
}

SessionResult Settlement::Result() const {
    if (!filing_) return SessionResult::kLeft;
    return Refused() ? SessionResult::kRefused : SessionResult::kDelivered;
}

}  // namespace bw
