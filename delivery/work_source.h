// Where the dispatcher's work comes from. Two ways, chosen with the profile
// (profile_parts.h): CadenceScan (cadence_scan.h) lists one queue folder per
// tick of the queue timer; QueueWatch (queue_watch.h) claims pairs as the
// kernel reports them complete and as sessions end, and uses the queue timer
// for its rescan. Either claims through its Dispatcher (ListPairs, Claim,
// HasRoom).
// DIAGNOSTICS: see the two implementations.
#pragma once

#include "delivery/delivery_meter.h"
#include "platform/error_state.h"

namespace bw {

class WorkSource {
  public:
    virtual ~WorkSource() = default;
    /// Starts finding work; failed when it cannot (the start-up ends with it).
    virtual ErrorState Start() = 0;
    /// The queue timer's tick.
    virtual void OnQueueTimer() = 0;
    /// The database connection has just come (back).
    virtual void DatabaseCameBack() = 0;
    /// A delivery session has ended with `result`.
    virtual void SessionEnded(SessionResult result) = 0;
};

}  // namespace bw
