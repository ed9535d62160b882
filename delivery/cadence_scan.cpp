#include "delivery/cadence_scan.h"

#include <utility>
#include <vector>

#include "delivery/dispatcher.h"
#include "platform/loop.h"

namespace bw {

namespace {
constexpr int kIdleIntervalMs = 5000;
constexpr int kBusyIntervalMs = 500;
}  // namespace

CadenceScan::CadenceScan(DeliveryContext& ctx, Dispatcher& dispatcher)
    : ctx_(ctx), dispatcher_(dispatcher) {}

void CadenceScan::OnQueueTimer() {
    if (!dispatcher_.DatabaseOpen()) return;
    Timer* timer = dispatcher_.QueueTimer();
    scanFolder_ = scanFolder_ != "Inbox/" ? "Inbox/" : "Outbox/";
    ErrorState err;
    const std::vector<std::pair<std::string, std::string>> pairs =
        dispatcher_.ListPairs(scanFolder_, err);
    if (err.Failed()) EndDeliveryAtOnce("queue folder missing or unreadable: " + err.description);
    if (pairs.empty()) {
        if (timer != nullptr) timer->SetInterval(kIdleIntervalMs);
        return;
    }
    // Off while the pass runs, so no second scan starts inside this one.
    if (timer != nullptr) {
        timer->SetEnabled(false);
        timer->SetInterval(kBusyIntervalMs);
    }
    int claimed = 0;
    for (const auto& [name, msgName] : pairs) {
        if (!dispatcher_.HasRoom()) break;
        if (dispatcher_.Claim(scanFolder_, name, msgName)) ++claimed;
    }
    if (ctx_.meter != nullptr) ctx_.meter->Claimed(claimed);
    if (timer != nullptr) timer->SetEnabled(true);
}

}  // namespace bw
