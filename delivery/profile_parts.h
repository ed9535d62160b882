// The two ways of working, each chosen in one place from the "Profile"
// setting. Classic keeps the product's cadence: work from a scan on the queue
// timer (cadence_scan.h), sessions stepping on the stage timer's ticks, every
// write made durable at once. Fast: work from the folder watch
// (queue_watch.h), sessions stepping on events (session_pacing.h), and the
// writes made durable in groups every kGroupIntervalMs: the filings' folder
// syncs on a worker thread, one Changed.flg, the audit spool and the sent
// record synced once per group. MakeProfileParts is the only code that asks
// which profile runs; tests build either profile through it.
// DIAGNOSTICS: Start() fails when the work source cannot run (the folder
// watch cannot watch a queue folder); the start-up ends naming it.
#pragma once

#include <memory>

#include "platform/error_state.h"

namespace bw {

struct Delivery;

class ProfileParts {
  public:
    virtual ~ProfileParts() = default;
    /// Starts finding work.
    virtual ErrorState Start() = 0;
    /// Makes what the current group wrote durable (before the process ends).
    virtual void EndGroup() = 0;
};

/// Fits `delivery` (its context, audit, sent record and dispatcher) to its
/// settings' profile; the parts must not outlive it.
std::unique_ptr<ProfileParts> MakeProfileParts(Delivery& delivery);

}  // namespace bw
