// The classic profile's work: on each tick of the queue timer, one queue
// folder (Inbox, then Outbox, in turn) is listed and every pair nobody else
// holds is claimed while a session is free. The timer runs every 500 ms while
// a folder holds pairs and every 5 s when the one just listed was empty; it
// is off while a pass runs, so no scan starts inside another. No scan while
// the database connection is missing.
// DIAGNOSTICS: a queue folder that is missing or cannot be read ends the
// process at once (one line on standard error).
#pragma once

#include <string>

#include "delivery/delivery_context.h"
#include "delivery/work_source.h"

namespace bw {

class Dispatcher;

class CadenceScan final : public WorkSource {
  public:
    CadenceScan(DeliveryContext& ctx, Dispatcher& dispatcher);

    ErrorState Start() override { return {}; }
    void OnQueueTimer() override;
    void DatabaseCameBack() override {}
    void SessionEnded(SessionResult) override {}

  private:
    DeliveryContext& ctx_;
    Dispatcher& dispatcher_;
    std::string scanFolder_;  // the queue sub-folder listed on the current tick
};

}  // namespace bw
