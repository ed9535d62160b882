// A look at a mail server from the command line (bwtarnout --init): connect
// to host:port over TCP within a time limit and read the first line of its
// greeting, then close (no SMTP is spoken). Blocking; never used by the
// daemon's loop.
// DIAGNOSTICS: nothing throws; the result names what failed (the resolver's
// or the connect's error, "no greeting within N s", "closed without a
// greeting").
#pragma once

#include <cstdint>
#include <string>

namespace bw {

struct GreetingProbe {
    bool answered = false;
    std::string text;  // the greeting's first line, or what failed
};

/// Connects to `host`:`port` and waits at most `seconds` in all.
GreetingProbe ProbeGreeting(const std::string& host, std::int32_t port, int seconds);

}  // namespace bw
