// The internal mail servers a session tries in turn: the entries of the
// account's server list ("host" or "host:port", the port up to a second ":")
// and the second peer that takes the Outbox (a host name, used as it is). An
// entry with an empty host, or with a port that is not a number from 1 to
// 65535, is unusable: the connect step never connects to it (the resolver
// would take an empty name for this machine, a mail loop into the gateway)
// and fails it at once, like a server that cannot be reached.
// DIAGNOSTICS: ServerListProblems gives the event-log lines said at start,
// one per unusable entry and one for an empty list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

struct ServerEntry {
    std::string host;       // surrounding blanks removed
    std::int32_t port = 0;  // 0: none given, port 25
    std::string problem;    // empty: usable
};

/// The entries of the list as the account file gives it ("SMTP=" of section
/// "[Server]": comma-separated, kept as they are); none for an empty value.
std::vector<std::string> SplitServerList(const std::string& value);

/// One entry of the list, surrounding blanks removed.
ServerEntry ParseServerEntry(const std::string& entry);

/// Why the second peer cannot be used ("" when it can): it is taken as a
/// host name as it is, so it must hold something and no ":".
std::string PeerProblem(const std::string& peer);

/// The event-log lines about the list and the peer (empty peer: not set).
std::vector<std::string> ServerListProblems(const std::vector<std::string>& servers,
                                            const std::string& peer);

}  // namespace bw
