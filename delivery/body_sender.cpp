#include "delivery/body_sender.h"

#include "delivery/session_log.h"
#include "platform/queue_files.h"
#include "platform/service.h"

namespace bw {

namespace {
constexpr std::size_t kPieceSize = 8192;
}  // namespace

bool BodySender::SendNext(TcpSocket& socket, bool& last) {
    std::string piece;
    piece.reserve(kPieceSize + kPieceSize / 2);
    std::string bytes;
    const std::size_t bareBefore = wire_.BareBreaks();
    ErrorState err;
    while (piece.size() < kPieceSize && !wire_.Ended()) {
        const LineRead r = ctx_.files.ReadBytesNo(pair_.msgFile, bytes, kPieceSize, err);
        if (r == LineRead::kError) return false;
        if (r == LineRead::kEnd) {
            wire_.Finish(piece);
            break;
        }
        const std::size_t used = wire_.Feed(bytes, piece);
        if (wire_.Ended())
            NotSentAfterEnd(bytes.size() - used + ctx_.files.UnreadNo(pair_.msgFile));
    }
    if (bareBefore == 0 && wire_.BareBreaks() > 0) {
        log_(kLogStatus, "bare line feed or carriage return in the message sent as a line end");
    }
    socket.SendData(piece);
    sent_ += piece.size();
    writing_ = true;
    last = wire_.Ended();
    return true;
}

// The message file holds its own end line ("." alone) before its end: the
// message ends there, as it always has, but never silently.
void BodySender::NotSentAfterEnd(std::uint64_t bytes) {
    if (bytes == 0) return;
    const std::string what = std::to_string(bytes) + " bytes after the end line \".\" of " +
                             pair_.folder + pair_.name + ".msg not sent";
    log_(kLogStatus, "*** " + what + " ***");
    if (ctx_.journal != nullptr) ctx_.journal->LogEvent(2, 110, what);
}

}  // namespace bw
