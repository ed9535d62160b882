// How a conversation ended: the value the conversation gives its owner, who
// hands it to the pair's settlement (settlement.h).
// DIAGNOSTICS: none; plain data.
#pragma once

#include <string>

namespace bw {

/// How a conversation ended, with the minilog action that says so.
struct DeliveryOutcome {
    enum class Kind {
        kDelivered,   // the server took the message (its answer to the end of data)
        kRefused,     // a "5" reply, or a message that can never be sent
        kDeferred,    // a "4" reply or a 421: the pair stays, with its back-off
        kBrokenOff,   // no answer, a broken line: the pair stays, with its back-off
        kServerBusy,  // the server took no session (421 at the greeting): the pair
                      // goes back untouched, no row and no back-off
    };
    Kind kind = Kind::kBrokenOff;
    std::string action;
    /// Why a pair stays in the queue (deferred and broken off): "deferred",
    /// "unreachable", "broken" (no usable answer, or the line broke),
    /// "envelope" (the ".dat" could not be read), "message" (the ".msg"
    /// could not be read), "files" (the pair's files were gone), "busy" (the
    /// server took no session).
    const char* left = nullptr;
};

}  // namespace bw
