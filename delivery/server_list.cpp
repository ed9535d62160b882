#include "delivery/server_list.h"

#include "host/textfile.h"
#include "platform/ascii_text.h"

namespace bw {

std::vector<std::string> SplitServerList(const std::string& value) {
    std::vector<std::string> out;
    if (value.empty()) return out;
    for (std::size_t pos = 0;;) {
        const std::size_t next = value.find(',', pos);
        out.push_back(value.substr(pos, next == std::string::npos ? next : next - pos));
        if (next == std::string::npos) return out;
        pos = next + 1;
    }
}

ServerEntry ParseServerEntry(const std::string& entry) {
    ServerEntry e;
    e.host = TrimBlanks(entry);
    const std::size_t colon = e.host.find(':');
    if (colon != std::string::npos) {
        const std::size_t second = e.host.find(':', colon + 1);
        const std::string portText = TrimBlanks(e.host.substr(
            colon + 1, second == std::string::npos ? std::string::npos : second - colon - 1));
        e.host = TrimBlanks(e.host.substr(0, colon));
        const long value = WholeNumber(portText, 5);
        if (value < 1 || value > 65535) {
            e.problem = "the port \"" + portText + "\" is not a number from 1 to 65535";
        } else {
            e.port = static_cast<std::int32_t>(value);
        }
    }
    if (e.host.empty()) e.problem = "the host name is empty";
    return e;
}

std::string PeerProblem(const std::string& peer) {
    if (TrimBlanks(peer).empty()) return "the host name is empty";
    if (peer.find(':') != std::string::npos) {
        return "it holds \":\"; the peer is a host name only (the port comes from the server "
               "list)";
    }
    return "";
}

std::vector<std::string> ServerListProblems(const std::vector<std::string>& servers,
                                            const std::string& peer) {
    std::vector<std::string> lines;
    if (servers.empty()) {
        lines.push_back(
            "No mail server in TarnIN/AccInfo.ini [Server] SMTP=: mail stays in the queue");
    }
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const ServerEntry e = ParseServerEntry(servers[i]);
        if (e.problem.empty()) continue;
        lines.push_back(
            "Mail server entry " + std::to_string(i + 1) + " \"" + servers[i] +
            "\" of TarnIN/AccInfo.ini [Server] SMTP= is never connected to: " + e.problem);
    }
    if (!peer.empty()) {
        const std::string problem = PeerProblem(peer);
        if (!problem.empty()) {
            lines.push_back("The Outbox peer (setting TarnIN/Peer2) \"" + peer +
                            "\" is never connected to: " + problem);
        }
    }
    return lines;
}

}  // namespace bw
