// DeliveryMeter: what the delivery tells whoever measures it (the metrics
// endpoint): a session loaded, a session ended with its result, how many
// pairs one scan claimed, each connection set up (with TLS or without), each
// server reply judged and the body bytes sent. The delivery calls it
// on the loop; an implementation must be quick and must not call back into the delivery.
// DIAGNOSTICS: none; an interface.
#pragma once

#include <cstdint>
#include <string>

namespace bw {

enum class SessionResult {
    kDelivered,  // the server took the message (filed as delivered)
    kRefused,    // filed to BAD
    kLeft,       // left in the queue for a later attempt
};

/// "delivered", "refused" or "left".
const char* SessionResultName(SessionResult result);

class DeliveryMeter {
  public:
    virtual ~DeliveryMeter() = default;
    /// A delivery session loaded (a conversation starts).
    virtual void SessionStarted() = 0;
    /// A loaded session unloaded: `queue` is "Inbox" or "Outbox", `seconds` the
    /// time from its load on the monotonic clock.
    virtual void SessionEnded(const std::string& queue, SessionResult result, double seconds) = 0;
    /// One pass over the queue (a scan, or a pass of the fast profile's watch)
    /// claimed `pairs` pairs.
    virtual void Claimed(int pairs) = 0;
    /// A session that ended with its pair left in the queue, and why
    /// (DeliveryOutcome::left: "deferred", "unreachable", "broken", ...).
    virtual void Left(const std::string& queue, const char* reason) = 0;
    /// A reply of `server` ("host:port") was judged: `replyClass` is its
    /// first digit ('2' to '5'), or '0' for a missing or broken reply.
    virtual void Replied(const std::string& server, char replyClass) = 0;
    /// A connection to `server` was set up for its first message: with TLS
    /// `version` ("TLSv1.3") and `cipher`, or in clear text (both "").
    virtual void Connected(const std::string& server, const std::string& version,
                           const std::string& cipher) = 0;
    /// `bytes` of a message body were written to a server (in its wire form).
    virtual void BodySent(std::uint64_t bytes) = 0;
};

}  // namespace bw
