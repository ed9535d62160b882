// Log text: what goes into a log line (session log, journal) never carries a
// raw control character, so no text from a file name, an envelope or a server
// can break a line or forge one. A control byte (0x00-0x1F, 0x7F) is shown as
// "\x" and two upper-case hex digits ("\x0A" for a line feed).
// DIAGNOSTICS: none; every text can be shown.
#pragma once

#include <string>

namespace bw {

/// `text` with every control byte escaped. With `keepCrLf`, a CR directly
/// followed by an LF stays as it is (a server reply's own line ends); a CR or
/// LF alone is escaped all the same.
std::string EscapeControls(const std::string& text, bool keepCrLf = false);

}  // namespace bw
