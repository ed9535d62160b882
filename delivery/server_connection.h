// The connection a delivery session holds to an internal mail server, handed
// from one conversation to the next: its socket, the server it is open to,
// what that server offers, whether TLS and AUTH are done, and how many
// messages it has carried. Only a
// connection that is greeted and has no transaction open is handed on.
// DIAGNOSTICS: none; plain data.
#pragma once

#include <cstdint>
#include <string>

#include "delivery/server_capabilities.h"
#include "platform/socket.h"

namespace bw {

struct ServerConnection {
    explicit ServerConnection(TcpSocket& s) : socket(s) {}

    TcpSocket& socket;
    std::string host;  // as the server entry names it
    std::int32_t port = 0;
    std::string endpoint;     // "host:port", as the metrics and the journal name it
    ServerCapabilities caps;  // from its answer to EHLO (none after HELO)
    int messages = 0;         // delivered over it
    bool tls = false;         // STARTTLS done: everything goes through TLS
    bool authenticated = false;
    bool ready = false;  // greeted, no transaction open: the next pair may use it

    /// Open and ready for another message to `toHost`:`toPort`.
    bool ReadyFor(const std::string& toHost, std::int32_t toPort) const {
        return ready && host == toHost && port == toPort && socket.State() == TcpSocket::kConnected;
    }
};

}  // namespace bw
