// What a server offers in its answer to EHLO (RFC 5321 4.1.1.1): one keyword
// per line after the first, each with its parameters. Read once per
// connection, bounded: at most kMaxCapabilityLines lines are looked at (the
// reply itself is capped at 64 KB, smtp_reply.h), unknown keywords are
// skipped, and nothing the server says is kept beyond the few facts below.
// DIAGNOSTICS: none; a line that makes no sense is skipped.
#pragma once

#include <cstdint>
#include <string_view>

namespace bw {

inline constexpr std::size_t kMaxCapabilityLines = 1000;

struct ServerCapabilities {
    bool pipelining = false;      // PIPELINING (RFC 2920)
    bool eightBitMime = false;    // 8BITMIME (RFC 6152)
    bool startTls = false;        // STARTTLS (RFC 3207)
    bool sizeOffered = false;     // SIZE (RFC 1870)
    std::uint64_t sizeLimit = 0;  // its limit in bytes; 0: none announced
    bool authPlain = false;       // AUTH ... PLAIN (RFC 4954)
    bool authLogin = false;       // AUTH ... LOGIN
};

/// The capabilities in `reply`, a whole "250" answer to EHLO as it came (lines
/// ending in CR LF). Anything but a "250" reply offers nothing.
ServerCapabilities ReadCapabilities(std::string_view reply);

}  // namespace bw
