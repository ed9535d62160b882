// Securing the hop before the first transaction on a connection: STARTTLS
// where the settings ask for TLS (then EHLO again: nothing the server said
// in clear text is used after the handshake), then AUTH over TLS. A hop that
// cannot be set up as asked moves on to the next server; with the last one
// the pair is deferred with the cause and waits its back-off, and the journal
// hears once per server and cause (HopProblems).
#include <algorithm>
#include <string>

#include "delivery/hop_security.h"
#include "delivery/session_log.h"
#include "delivery/smtp_session.h"
#include "platform/socket.h"

namespace bw {

namespace {

// The name the server's certificate must carry, sent as its name (SNI).
std::string TlsName(const HopSecurity& security, const ServerConnection& conn) {
    return security.serverName.empty() ? conn.host : security.serverName;
}

}  // namespace

// After the answer to EHLO: TLS, AUTH, then the transaction.
void SmtpSession::SetUpHop() {
    const HopSecurity& security = ctx_.settings.security;
    if (security.Tls() && !conn_.tls && !server_.clearOnly) {
        if (conn_.caps.startTls) return Enter(Stage::kStartTlsReply, "TLS wanted");
        if (security.TlsRequired()) return HopFailed("TLS: the server offers no STARTTLS", true);
    }
    if (security.Auth() && !conn_.authenticated) {
        if (!conn_.tls) return HopFailed("AUTH: not sent without TLS", true);
        if (!conn_.caps.authPlain && !conn_.caps.authLogin) {
            return HopFailed("AUTH: the server offers neither PLAIN nor LOGIN", true);
        }
        facts_.authLogin = !conn_.caps.authPlain;
        return Enter(Stage::kAuthReply, "AUTH wanted");
    }
    // The connection is set up: what it is, once per connection.
    const TlsState tls = conn_.socket.Tls();
    if (security.Tls()) {
        Log(kLogStatus, conn_.tls ? "*** TLS " + tls.version + " " + tls.cipher + " with " +
                                        server_.name + " ***"
                                  : "*** No TLS with " + server_.name + " ***");
        if (conn_.tls) ctx_.hopProblems->Worked(conn_.endpoint);
    }
    if (ctx_.meter != nullptr) {
        ctx_.meter->Connected(conn_.endpoint, conn_.tls ? tls.version : "", tls.cipher);
    }
    StartTransaction();
}

// The handshake runs on the socket; its end (or its failure, or the
// limit) decides. Under "may" a failed handshake is followed by a new
// connection to the same server in clear text.
void SmtpSession::HandshakeStage(double waited) {
    const TlsState tls = conn_.socket.Tls();
    if (tls.on) {
        conn_.tls = true;
        return Enter(Stage::kHeloReply, "TLS established");
    }
    const bool broken = server_.closed || conn_.socket.State() != TcpSocket::kConnected;
    if (!LimitPassed(RowOf(stage_).firstLimit, waited, broken)) return;
    const std::string cause =
        "TLS: " + (!tls.failure.empty() ? tls.failure
                   : broken             ? std::string("the connection broke during the handshake")
                                        : std::string("no handshake within the time limit"));
    conn_.socket.Close();
    if (InClearText(cause)) return Enter(Stage::kConnect, "TLS failed, clear text");
    HopFailed(cause, false);
}

// The hop to this server cannot be set up as asked: the next server, or the
// pair deferred with the cause. A STARTTLS refused where TLS is only wanted
// goes on in clear text.
void SmtpSession::HopFailed(const std::string& cause, bool quit) {
    if (stage_ == Stage::kStartTlsReply && InClearText(cause)) return SetUpHop();
    Log(kLogStatus, "*** " + cause + " with " + server_.name + " ***");
    ctx_.hopProblems->Failed(conn_.endpoint, cause);
    conn_.ready = false;
    if (!facts_.lastServer) return NextServer("hop not set up");
    Settle(Move::kDefer, cause, quit && !server_.closed);
    if (outcome_) outcome_->left = cause.starts_with("AUTH") ? "auth" : "tls";
}

// Under "may", TLS that failed with this server (`cause`) is given up for it:
// true, and the rest goes in clear text. Otherwise false.
bool SmtpSession::InClearText(const std::string& cause) {
    if (ctx_.settings.security.level != TlsLevel::kMay) return false;
    Log(kLogStatus, "*** " + cause + " with " + server_.name + "; on in clear text ***");
    ctx_.hopProblems->Failed(conn_.endpoint, cause + "; sent in clear text");
    server_.clearOnly = true;
    return true;
}

// Sends what entering a stage sends, line by line into the session log; the
// credentials of AUTH never go into it. Entering the handshake drops whatever
// the server sent after its "220" in clear text, and what it offered.
void SmtpSession::SendCommand(Command command) {
    const HopSecurity& security = ctx_.settings.security;
    std::string lines;
    std::string logged;
    switch (command) {
        case Command::kHandshake:
            reply_.DropAll();
            conn_.caps = ServerCapabilities{};
            conn_.socket.StartTls(ctx_.tls, TlsName(security, conn_));
            return;
        case Command::kAuth:
            lines = facts_.authLogin ? "AUTH LOGIN" : AuthPlainLine(security);
            logged = facts_.authLogin ? lines : "AUTH PLAIN ****";
            break;
        case Command::kAuthUser:
            lines = Base64(security.authUser);
            logged = lines;
            break;
        case Command::kAuthPassword:
            lines = Base64(security.authPassword);
            logged = "****";
            break;
        default:
            lines = CommandLine(command, env_, facts_);
            logged = lines;
    }
    if (lines.empty()) return;
    for (std::size_t at = 0, end = 0; at <= logged.size(); at = end + 2) {
        end = std::min(logged.find("\r\n", at), logged.size());
        Log(kLogSend, logged.substr(at, end - at));
    }
    conn_.socket.SendData(lines + "\r\n");
}

}  // namespace bw
