// Server replies: the bytes a server sends, in pieces, gathered into replies
// (Clear() after each complete one, as the conversation does), once as they
// come and once one reply at a time (pipelined replies: then, unless a reply
// was cut, the replies taken and what is left are the stream as it came, each
// reply ending at its first line that is no continuation). Parameter lines: the piece size,
// and how often the stream repeats (so that a short input can outgrow the
// reply cap).
#include <algorithm>
#include <cstdlib>

#include "delivery/smtp_reply.h"
#include "fuzz/fuzz_input.h"

using namespace bw;

namespace {

std::size_t Param(const std::string& line, std::size_t lo, std::size_t hi) {
    const std::size_t v = line.empty() ? lo : static_cast<unsigned char>(line[0]);
    return std::clamp(v, lo, hi);
}

// The text of a whole reply has one line that is no continuation: its last.
bool OneReply(const std::string& text) {
    std::size_t pos = 0;
    for (std::size_t end = text.find("\r\n"); end != std::string::npos;
         pos = end + 2, end = text.find("\r\n", pos)) {
        const bool last = end - pos < 4 || text[pos + 3] != '-';
        if (last) return end + 2 == text.size();
    }
    return false;
}

void CheckReplies(const std::string& stream, std::size_t piece, bool oneAtATime) {
    ReplyBuffer reply;
    if (oneAtATime) reply.OneReplyAtATime();
    std::string taken;
    bool cut = false;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        reply.Append(std::string_view(stream).substr(at, piece));
        BW_FUZZ_CHECK(reply.Size() <= ReplyBuffer::kCap);
        if (!reply.Complete()) continue;
        const std::string summary = reply.Summary();
        if (reply.Cut()) {
            BW_FUZZ_CHECK(summary.find("\r\n") == std::string::npos);
        } else {
            BW_FUZZ_CHECK(reply.Text().size() >= 2 && reply.Text().ends_with("\r\n"));
            BW_FUZZ_CHECK(summary.size() + 2 == reply.Text().size());
        }
        BW_FUZZ_CHECK(reply.FirstLine().find("\r\n") == std::string::npos);
        cut = cut || reply.Cut();
        if (oneAtATime && !reply.Cut()) BW_FUZZ_CHECK(OneReply(reply.Text()));
        taken += reply.Text();
        reply.Clear();
        // Replies that came in the same piece are taken in turn.
        while (oneAtATime && !cut && reply.Complete()) {
            BW_FUZZ_CHECK(OneReply(reply.Text()));
            taken += reply.Text();
            reply.Clear();
        }
    }
    if (oneAtATime && !cut) BW_FUZZ_CHECK(taken + reply.Text() == stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::size_t piece = Param(in.Line(), 1, 255);
    const std::size_t repeat = Param(in.Line(), 1, 100);
    const std::string rest = in.Rest();
    std::string stream;
    stream.reserve(rest.size() * repeat);
    for (std::size_t i = 0; i < repeat; ++i) stream += rest;
    CheckReplies(stream, piece * repeat, false);
    CheckReplies(stream, piece * repeat, true);
    return 0;
}
