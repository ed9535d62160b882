// The queue dispatcher on tmrQueue: one queue folder per tick (Inbox, then
// Outbox, in turn), every pair nobody else holds claimed by an exclusive lock
// and handed to a new delivery window, five deliveries at most.
// DIAGNOSTICS: a queue folder that is missing or unreadable ends the process
// at once (one line on standard error); so does a delivery window that cannot
// be created in 100 attempts. A pair that cannot be claimed is skipped quietly.
#pragma once

#include <functional>
#include <string>

#include "delivery/delivery_context.h"
#include "delivery/delivery_windows.h"
#include "delivery/set_aside.h"

namespace bw {

class Timer;

class Dispatcher {
  public:
    /// `databaseOpen` tells whether the database connection exists (no scan
    /// without it); `queueTimer` (may be null) is the timer that calls
    /// tmrQueue_Timer, whose interval the dispatcher sets.
    Dispatcher(DeliveryContext& ctx, std::function<bool()> databaseOpen, Timer* queueTimer);

    void tmrQueue_Timer();

    DeliveryWindows& Windows() { return windows_; }

  private:
    /// True when the pair went to a new delivery window.
    bool Claim(const std::string& folder, const std::string& name, const std::string& msgName);

    DeliveryContext& ctx_;
    std::function<bool()> databaseOpen_;
    Timer* queueTimer_;
    DeliveryWindows windows_;
    SetAside setAside_;
    std::string scanFolder_;  // the queue sub-folder listed on the current tick
};

}  // namespace bw
