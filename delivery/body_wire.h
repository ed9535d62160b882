// The message as it goes on the wire after DATA. This is the one place that
// knows the body's line ends and dot-stuffing; the session only feeds it the
// bytes of the ".msg" file and sends what it writes.
//
// - The first line of the file is the receiving component's own and is
//   never sent.
// - A line ends at CR LF, at a bare LF or at a bare CR; on the wire every line
//   ends with CR LF, so no server reads a line end the file did not hold.
// - Every line that begins with "." goes out with one more "." (the server
//   removes it again), so the body can never hold an end of data of its own.
// - The message's own end: a line of "." alone ended by CR LF, or a "." that
//   is the last thing in the file. It goes out as the end of data and nothing
//   after it is sent (the caller says how many bytes that left out). A file
//   without one gets the end of data added.
// DIAGNOSTICS: none; nothing here fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bw {

class BodyWire {
  public:
    /// Appends the wire form of the next bytes of the file to `out`. Returns
    /// how many of `bytes` were used: all of them, unless the message's own
    /// end came first (then Ended() is true and nothing more is taken).
    std::size_t Feed(std::string_view bytes, std::string& out);
    /// The file has ended: closes an open line and appends the end of data,
    /// unless the file's own end line has already been written.
    void Finish(std::string& out);
    /// The end of data has been written.
    bool Ended() const { return ended_; }
    /// Bare LFs and CRs in the message (after its first line) sent as line ends.
    std::size_t BareBreaks() const { return bareBreaks_; }

  private:
    enum class At { kFirstLine, kLineStart, kInLine, kDot };
    void EndLine(std::string& out);
    /// Handles one byte that is neither CR nor LF.
    void Text(char c, std::string& out);

    At at_ = At::kFirstLine;
    bool cr_ = false;  // the last byte was a CR whose line end is not yet written
    bool ended_ = false;
    std::size_t bareBreaks_ = 0;
};

/// The bytes of a whole ".msg" file as they go on the wire (tests, fuzzing).
std::string BodyWireOf(std::string_view file);

}  // namespace bw
