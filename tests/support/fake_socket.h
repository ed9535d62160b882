// A scripted SMTP server behind the TcpSocket interface, for driving the
// delivery's stage table on the manual clock. Every socket made by Maker()
// talks to the same FakeServer. On its k-th connection the server follows
// scripts[k] (the last one for all further connections): the n-th thing the
// client does (connect, a command line, the whole body up to its "." line)
// gets script[n] back: a reply text, kSilent (nothing, the line stays open)
// or kClose; kRefuse as script[0] refuses the connection. A further MAIL FROM
// on a connection kept open gets the script from the first one's answer on
// again (one transaction per message). StartTls() takes the next step too:
// kTlsUp completes the handshake, any other text fails it with that text as
// the cause; FakeServer::tlsNames records the names asked for. Events come through
// the loop, never inside the call that caused them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "delivery/delivery_context.h"
#include "platform/socket.h"

namespace bw::test {

inline constexpr const char* kSilent = "<silent>";
inline constexpr const char* kClose = "<close>";
inline constexpr const char* kRefuse = "<refuse>";
inline constexpr const char* kTlsUp = "<tls>";

struct FakeServer {
    std::vector<std::vector<std::string>> scripts;  // script[0] answers the connect
    std::vector<std::string> commands;              // command lines received, without CR LF
    std::vector<std::string> bodies;                // bodies received, with their "." line
    int attempts = 0;                               // connections tried
    int connections = 0;                            // connections accepted
    std::vector<std::string> tlsNames;              // the names of each StartTls()
};

/// Sockets on `loop` talking to `server` (both outlive the sockets).
SocketFactory FakeSocketMaker(Loop& loop, FakeServer& server);

}  // namespace bw::test
