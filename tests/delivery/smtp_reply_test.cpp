// Reply gathering under the 64 KB cap, fed in chunks of any size: the cut
// reply is judged by its code and first line, its rest is skipped up to its
// last line, and the reply after it comes through untouched.
#include "delivery/smtp_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace bw {
namespace {

TEST(ReplyBuffer, OversizedReplyIsCutSkippedAndTheNextComesThrough) {
    const std::string first = "250-" + std::string(70 * 1024, 'h');
    const std::string longReply = first + "\r\n250-more\r\n250 2.0.0 queued\r\n";
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
        SCOPED_TRACE(chunk);
        ReplyBuffer r;
        const std::string wire = longReply + "221 bye\r\n";
        std::size_t at = 0;
        for (; at < wire.size() && !r.Cut(); at += chunk) r.Append(wire.substr(at, chunk));
        ASSERT_TRUE(r.Cut());
        EXPECT_TRUE(r.Complete());
        EXPECT_EQ(r.First(), '2');
        EXPECT_EQ(r.Summary(), first.substr(0, ReplyBuffer::kCap));
        EXPECT_EQ(r.Size(), ReplyBuffer::kCap);
        r.Clear();
        for (; at < wire.size(); at += chunk) r.Append(wire.substr(at, chunk));
        EXPECT_EQ(r.Text(), "221 bye\r\n");
    }
}

}  // namespace
}  // namespace bw
