// `bwtarnout --queue [--json]`: the queue view for the mail administrator,
// answered and ended while the daemon runs or not. It finds the application
// folder the way the start-up does (General/AppPath of the settings store
// chosen by "--HKCU" or HKCU.flg, else the executable's folder), lists the
// pairs of TarnIN/Inbox, TarnIN/Outbox and their BAD folders with their
// envelopes, and looks up the last minilog action of each on the database of
// DBConnect.dat (then DBConnect1.dat ...). It takes no lock, claims no pair,
// creates and writes nothing.
// DIAGNOSTICS: standard error. No queue folder: a message and status 1. The
// database out of reach: one line saying the last actions are unknown, the
// view without them, status 0. A settings store that cannot be read:
// "Registry Problem: ...", status 3.
#pragma once

#include <iosfwd>
#include <string>

namespace bw {

/// True when the arguments ask for the queue view: "--queue", with "--json"
/// and "--HKCU" (any letter case) allowed beside it, in any order.
bool IsQueueCommand(int argc, char** argv, bool& json);

/// Shows the queue on `out` (text, or JSON with `json`); `commandLine` as
/// the start-up gets it (for "--HKCU"). The exit status.
int RunQueueCommand(bool json, const std::string& commandLine, std::ostream& out,
                    std::ostream& err);

}  // namespace bw
