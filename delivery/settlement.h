// What becomes of a claimed pair once its conversation has an outcome, in one
// place and in one order: the audit (minilog row, and the count of a
// delivery, as one record), then the sent record, then the filing. A pair the
// server answered for is never sent again: a kill after the record files it
// at the next start (AttemptDue), a kill before it sends it once more with a
// row of its own. A pair left in the queue waits its back-off, set once per
// attempt whatever stopped it.
// DIAGNOSTICS: a minilog row reported lost gives one "MINILOG ERROR: " line
// in the session log; a filing that fails gives one "ERROR: filing" line there
// and, after the server's answer, one journal line per try (the filing is
// retried once a minute).
#pragma once

#include <functional>
#include <string>

#include "db/audit.h"
#include "delivery/delivery_context.h"
#include "delivery/delivery_meter.h"
#include "delivery/delivery_outcome.h"
#include "delivery/queue_pair.h"
#include "delivery/sent_record.h"

namespace bw {

class Settlement {
  public:
    using LogLine = std::function<void(const char* prefix, const std::string& text)>;
    /// `record`: the pair's minilog record, filled by the conversation.
    Settlement(DeliveryContext& ctx, QueuePair& pair, MinilogRow& record, LogLine log);

    /// Whether the pair is to be sent now: not remembered as sent (such a
    /// pair is filed again instead, once a minute) and out of its back-off.
    bool AttemptDue();
    /// The conversation's outcome. Delivered and refused: the audit, then the
    /// sent record, at once (the filing follows with File()). Deferred and
    /// broken off: the action only; the row follows at End().
    void Settle(const DeliveryOutcome& outcome);
    /// The conversation is over: an answered pair (delivered or refused) is
    /// filed (trash or deleted, or BAD, and Changed.flg), any other stays in
    /// the queue with its back-off (once).
    void Finish();
    /// The session ends: a pair not filed waits its back-off (once), and the
    /// row is written if it was not.
    void End();
    /// Delivered or refused once the filing began, else left in the queue.
    SessionResult Result() const;
    /// Why a pair left in the queue stays (DeliveryOutcome::left; "broken"
    /// when the session ended without an outcome, e.g. at the watchdog).
    const char* LeftReason() const { return left_ != nullptr ? left_ : "broken"; }

  private:
    void BackOff();
    void WriteAudit(const char* counted = nullptr);
    void RecordSent();
    bool FileNow(ErrorState& err);
    bool Answered() const;
    bool Refused() const { return outcome_ == DeliveryOutcome::Kind::kRefused; }

    DeliveryContext& ctx_;
    QueuePair& pair_;
    MinilogRow& record_;
    LogLine log_;
    PairId pairId_;
    bool pairKnown_ = false;
    DeliveryOutcome::Kind outcome_ = DeliveryOutcome::Kind::kBrokenOff;
    bool audited_ = false;   // the minilog row is written (or spooled)
    bool recorded_ = false;  // the sent record holds this pair
    bool backedOff_ = false;
    bool filing_ = false;
    const char* left_ = nullptr;  // the first reason the pair stays, once one is known
};

}  // namespace bw
