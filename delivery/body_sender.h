// The body of a claimed pair as it goes out after DATA: the ".msg" file read
// in pieces of about 8 KB, each in its wire form (body_wire.h), one piece
// written at a time. The file's own end line ends the message; what follows
// it is never sent, and the session log and the journal say how much.
// DIAGNOSTICS: a file that cannot be read ends SendNext() with false (the
// session leaves the pair in the queue); bare line ends and bytes after the
// end line each give one status line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "delivery/body_wire.h"
#include "delivery/delivery_context.h"
#include "delivery/queue_pair.h"
#include "platform/socket.h"

namespace bw {

class BodySender {
  public:
    using LogLine = std::function<void(const char* prefix, const std::string& text)>;
    BodySender(DeliveryContext& ctx, const QueuePair& pair, LogLine log)
        : ctx_(ctx), pair_(pair), log_(std::move(log)) {}

    /// A piece is being written: the socket has not yet said it is done.
    bool Writing() const { return writing_; }
    void Written() { writing_ = false; }
    /// Writes the next piece to `socket`; `last` when it ends the message.
    /// False when the file cannot be read.
    bool SendNext(TcpSocket& socket, bool& last);
    /// Bytes handed to the socket so far (the wire form).
    std::uint64_t Sent() const { return sent_; }

  private:
    void NotSentAfterEnd(std::uint64_t bytes);

    DeliveryContext& ctx_;
    const QueuePair& pair_;
    LogLine log_;
    BodyWire wire_;
    bool writing_ = false;
    std::uint64_t sent_ = 0;
};

}  // namespace bw
