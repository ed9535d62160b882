// What the conversation reads from the server, as pure functions (no socket,
// no clock):
// - ReplyBuffer gathers the bytes of one server reply up to a cap of 64 KB.
//   A reply is complete when it ends with CR LF. A reply that outgrows the
//   cap counts as complete at once and is judged by what has arrived (its
//   code and first line); the rest of that reply is skipped as it comes in
//   (up to its last line: a line end after a line whose fourth character is
//   not "-"), so it is never taken for the reply to the next command and
//   memory stays bounded whatever the server sends.
// - One reply at a time (for a conversation that pipelines its commands): the
//   text holds the first reply that came and no more; what came after it
//   waits, bounded by the same cap, and becomes the text at the next Clear().
// DIAGNOSTICS: none; nothing here fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bw {

class ReplyBuffer {
  public:
    static constexpr std::size_t kCap = 64 * 1024;

    /// Takes bytes received from the server.
    void Append(std::string_view data);
    /// Keeps the text to one reply from now on (see above).
    void OneReplyAtATime() { oneReply_ = true; }
    bool HoldsOneReply() const { return oneReply_; }
    /// Drops the text. The rest of a reply that outgrew the cap is still skipped;
    /// what arrived after its end becomes the text.
    void Clear();
    /// Drops the text and everything waiting or being skipped, as if nothing
    /// had come: what a server sent before a TLS handshake is never read after it.
    void DropAll();

    const std::string& Text() const { return text_; }
    bool Empty() const { return text_.empty(); }
    std::size_t Size() const { return text_.size(); }
    /// Ends with CR LF (one reply at a time: with a line that is no
    /// continuation), or outgrew the cap.
    bool Complete() const;
    /// Outgrew the cap (the text holds its first kCap bytes).
    bool Cut() const { return cut_; }
    /// First character ('\0' when empty).
    char First() const { return text_.empty() ? '\0' : text_[0]; }
    /// The text up to its first line end (all of it without one).
    std::string FirstLine() const;
    /// The last complete line is a continuation line (its fourth character is
    /// not a blank, as in "220-..."); false without a complete line or when cut.
    bool LastLineContinues() const;
    /// The text that names the reply: without its final CR LF, or its first
    /// line when it outgrew the cap.
    std::string Summary() const;
    /// The summary on one line, its lines joined with a blank (a minilog action).
    std::string OneLine() const;

  private:
    /// Skips bytes of a cut reply up to its end; returns how many were used.
    std::size_t Skip(std::string_view data);
    bool SplitAfterFirstReply(std::string_view rest);

    std::string text_;
    std::string next_;  // received after the end of a cut reply, before its Clear()
    bool cut_ = false;
    bool oneReply_ = false;
    bool skipping_ = false;
    std::size_t skipLineLen_ = 0;  // bytes of the current line seen while skipping
    bool skipContinues_ = false;   // that line's fourth character is "-"
    bool skipCr_ = false;          // the last byte seen was a CR
};

}  // namespace bw
