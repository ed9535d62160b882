#include "delivery/smtp_session.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "delivery/envelope.h"
#include "delivery/server_capabilities.h"
#include "delivery/server_list.h"
#include "delivery/session_log.h"
#include "host/textfile.h"
#include "platform/ascii_text.h"
#include "platform/clock.h"
#include "platform/log_text.h"
#include "platform/service.h"
#include "platform/socket.h"

namespace bw {

namespace {

// An envelope line is kept up to kMaxEnvelopeLine characters and the rest of
// it skipped, so a huge line cannot fill the memory; a line that long is never
// sent. False when a read fails.
bool ReadEnvelopeLines(QueueFiles& files, std::int16_t datFile, std::vector<std::string>& lines) {
    ErrorState err;
    while (true) {
        std::string line;
        bool cut = false;
        LineRead r = files.ReadLineNo(datFile, line, err, kMaxEnvelopeLine, &cut);
        while (r == LineRead::kLine && cut) {
            std::string rest;
            if (files.ReadLineNo(datFile, rest, err, kMaxEnvelopeLine, &cut) == LineRead::kError) {
                r = LineRead::kError;
            }
        }
        if (r == LineRead::kError) return false;
        if (r == LineRead::kEnd) return true;
        lines.push_back(std::move(line));
    }
}

// A server entry as the conversation reaches it.
struct Target {
    std::string host;
    std::int32_t port = 25;
    bool usable = true;
    std::string name;  // as the session log names it when it cannot be used
};

// Server entry `index` for a pair of `folder`. Each entry has its own port
// (25 when it names none); the peer that takes the Outbox is reached on the
// port of the entry it stands for.
Target TargetOf(const DeliverySettings& settings, std::size_t index, const std::string& folder) {
    const auto& servers = settings.smtpServers;
    const std::string entry = index < servers.size() ? servers[index] : "";
    const ServerEntry server = ParseServerEntry(entry);
    Target t{server.host, server.port != 0 ? server.port : 25, server.problem.empty(),
             server.problem.empty() ? "" : TrimBlanks(entry)};
    if (LowerAscii(folder) == "outbox/" && !settings.peer2.empty()) {
        t.host = settings.peer2;
        if (!PeerProblem(t.host).empty()) {
            t.usable = false;
            t.name = t.host;
        }
    }
    return t;
}

// Seconds on the monotonic clock: every time limit of the conversation is
// measured here, so a step of the wall clock never counts as waiting.
double Seconds(const Clock& clock) {
    return static_cast<double>(clock.MonotonicMs()) / 1000.0;
}

}  // namespace

SmtpSession::SmtpSession(DeliveryContext& ctx, QueuePair pair, ServerConnection& connection)
    : ctx_(ctx),
      pair_(std::move(pair)),
      conn_(connection),
      body_(ctx_, pair_,
            [this](const char* prefix, const std::string& text) { Log(prefix, text); }) {}

bool SmtpSession::SilentFor(double seconds) const {
    return Seconds(ctx_.clock) - lastData_ >= seconds;
}

void SmtpSession::Log(const char* prefix, const std::string& text) {
    ctx_.log.LogLine(tag_, prefix, text);
}

// Does what entering `next` does by its row: closes the connection or sends
// the command, then waits afresh (an empty reply, the stage clock from now),
// unless the stage carries on the wait of the one before.
// Pipelined, the replies wait in turn: the stages between two replies
// (the next recipient, DATA) keep the one that came.
void SmtpSession::Enter(Stage next, const char* why) {
    const StageRow& row = RowOf(next);
    if (row.command == Command::kHangUp) {
        conn_.socket.Close();
        conn_.ready = false;
    }
    if (!row.keepsWait) {
        if (!facts_.pipelined || (next != Stage::kNextRcpt && next != Stage::kData)) reply_.Clear();
        stageStart_ = Seconds(ctx_.clock);
    }
    SendCommand(row.command);
    if (ctx_.settings.traceStages) {
        Log(kLogStatus,
            std::string("stage ") + RowOf(stage_).name + " -> " + row.name + " (" + why + ")");
    }
    stage_ = next;
    ++entered_;
}

void SmtpSession::Heard(SocketEvent event) {
    if (event == SocketEvent::kClosed) server_.closed = true;
    if (event == SocketEvent::kWritten) body_.Written();
    if (event != SocketEvent::kData || conn_.socket.BytesReceived() == 0) return;
    const std::string data = conn_.socket.TakeData();
    if (data.empty()) return;
    reply_.Append(data);
    lastData_ = Seconds(ctx_.clock);
}

void SmtpSession::Step() {
    if (!pair_.Open()) {
        pair_.Release();
        return LeaveInQueue("files");
    }
    const double waited = Seconds(ctx_.clock) - stageStart_;
    switch (stage_) {
        case Stage::kReadEnvelope:
            return ReadEnvelopeStage();
        case Stage::kConnect:
            return ConnectStage();
        case Stage::kConnecting:
            // The greeting's limits count from the start of connecting. A
            // connection that failed (only the fast profile says so) ends the wait.
            if (conn_.socket.State() == TcpSocket::kConnected)
                return Enter(Stage::kGreeting, "connected");
            if (!LimitPassed(RowOf(stage_).firstLimit, waited, server_.closed)) return;
            return ConnectFailed();
        case Stage::kNextRcpt:
            if (facts_.rcpts.answered < env_.recipients.size()) {
                return Enter(Stage::kRcptReply, "RCPT sent");
            }
            return Enter(Stage::kData, "all recipients sent");
        case Stage::kData:
            return Enter(Stage::kDataReply, "DATA sent");
        case Stage::kBody:
            return BodyStage();
        case Stage::kTlsHandshake:
            return HandshakeStage(waited);
        case Stage::kNoRecipients:
            // A message nobody can receive is filed as refused, never counted as delivered.
            Log(kLogStatus, "NO VALID RCPTs!!");
            return Settle(Move::kRefuse, "NO VALID RCPTs!!", false);
        case Stage::kFile:
            return Enter(Stage::kDone, "filing");  // the owner files the pair
        case Stage::kHandOver:
        case Stage::kDone:
            return;
        default:
            if (!AwaitsReply(stage_, reply_, waited, server_.closed)) Answer();
            return;
    }
}

// The server's reply (or what came of it before the limit), judged once; the
// session does what the judgement says.
void SmtpSession::Answer() {
    Log(kLogRecv, reply_.Text());
    const Judgement judged = Judge(stage_, reply_, facts_);
    if (ctx_.meter != nullptr) {
        const char code = reply_.First();
        ctx_.meter->Replied(conn_.endpoint,
                            judged.silence == nullptr && code >= '2' && code <= '5' ? code : '0');
    }
    if (judged.silence != nullptr) {
        Log(kLogStatus, std::string("*** ") + judged.silence + " from " + server_.name + " ***");
    }
    switch (judged.move) {
        case Move::kGoOn:
            // A refused recipient does not stop the others; DATA's answer decides.
            if (stage_ == Stage::kRcptReply) facts_.rcpts.Take(reply_);
            if (judged.next != Stage::kMailReply) return Enter(judged.next, judged.why);
            // Greeted: what the server offers in its answer to EHLO is known
            // (after HELO it offers nothing), and the transaction begins.
            if (stage_ == Stage::kHeloReply && facts_.ehloFirst) {
                conn_.caps = ReadCapabilities(reply_.Text());
            }
            if (stage_ == Stage::kAuthReply || stage_ == Stage::kAuthPasswordReply) {
                conn_.authenticated = true;
            }
            return SetUpHop();
        case Move::kDeliver:
            Settle(Move::kDeliver, "", false);
            // The connection carries the next message unless it has carried its share.
            conn_.ready = ++conn_.messages < ctx_.style.messagesPerConnection;
            return conn_.ready ? Enter(Stage::kHandOver, "connection kept")
                               : Enter(judged.next, judged.why);
        case Move::kNextServer:
            return NextServer("next server");
        case Move::kHopFailed:
            return HopFailed(judged.said, judged.quit);
        case Move::kLeave:
            // A server that says 421 at once takes no more sessions now.
            if (stage_ == Stage::kGreeting && reply_.Text().starts_with("421") &&
                ctx_.style.modern) {
                conn_.socket.Close();
                return LeaveInQueue("busy");
            }
            if (server_.reused && stage_ == Stage::kMailReply && reply_.Empty()) {
                // The server closed the kept connection before this message: a
                // new connection, as for a first try.
                server_.reused = false;
                return Enter(Stage::kConnect, "kept connection closed");
            }
            conn_.socket.Close();
            return LeaveInQueue("broken");
        default:  // kDefer, kRefuse
            return Settle(judged.move, judged.said, judged.quit);
    }
}

// --- What moves data: the envelope read from the ".dat", the connect to
// each server in turn, the body sent in pieces.

void SmtpSession::ReadEnvelopeStage() {
    std::vector<std::string> lines;
    // Only a failing read leaves the pair queued.
    if (!ReadEnvelopeLines(ctx_.files, pair_.datFile, lines)) return LeaveInQueue("envelope");
    env_ = ReadEnvelope(lines, ctx_.settings.forwardedList);
    row_.from = env_.senderAsRead;
    if (!env_.recipients.empty()) row_.to = env_.recipients.back();
    facts_.tempFailRefuses = ctx_.settings.tempFailRefuses;
    // Where the hop is secured, the classic conversation greets with EHLO too:
    // STARTTLS and AUTH are offered only in the answer to EHLO.
    facts_.ehloFirst = ctx_.style.modern || ctx_.settings.security.Tls();
    facts_.greeting = facts_.ehloFirst ? "EHLO" : env_.helo.substr(0, 4);
    facts_.recipients = env_.recipients.size();
    switch (env_.outcome) {
        case Envelope::Outcome::kLookupFailed:
        case Envelope::Outcome::kUnsafe:
            // It can never be sent: filed as bad, never retried.
            Log(kLogError, "ERROR: " + env_.reason + env_.where + "; not sent, filed as bad");
            return Settle(Move::kRefuse, env_.reason, false);
        case Envelope::Outcome::kNoRecipients:
            return Enter(Stage::kNoRecipients, "no recipients");
        case Envelope::Outcome::kSend:
            break;
    }
    const Target first = TargetOf(ctx_.settings, 0, pair_.folder);
    if (first.usable && conn_.ReadyFor(first.host, first.port)) {
        facts_.lastServer = ctx_.settings.smtpServers.size() <= 1;
        server_.name = first.host;
        server_.reused = true;
        Log(kLogSend, "*** Reusing connection to " + first.host + " ***");
        return StartTransaction();
    }
    Enter(Stage::kConnect, "envelope read");
}

// MAIL FROM, with what the server offers: the message's size, refused here
// when the server has said it takes no message that large; BODY=8BITMIME
// for a body with 8-bit bytes; the whole envelope in one write.
void SmtpSession::StartTransaction() {
    // The classic conversation uses none of what the server offers.
    const ServerCapabilities caps = ctx_.style.modern ? conn_.caps : ServerCapabilities{};
    facts_.pipelined = caps.pipelining;
    facts_.mailParameters.clear();
    if (caps.sizeOffered) {
        const std::uint64_t bytes = ctx_.files.UnreadNo(pair_.msgFile);
        if (caps.sizeLimit > 0 && bytes > caps.sizeLimit) {
            // No transaction is open: the connection can carry the next pair.
            conn_.ready = conn_.messages < ctx_.style.messagesPerConnection;
            return Settle(Move::kRefuse,
                          "SIZE: message of " + std::to_string(bytes) +
                              " bytes, the server takes at most " + std::to_string(caps.sizeLimit),
                          true);
        }
        facts_.mailParameters = " SIZE=" + std::to_string(bytes);
    }
    conn_.ready = false;
    if (caps.eightBitMime && ctx_.files.EightBitNo(pair_.msgFile)) {
        facts_.mailParameters += " BODY=8BITMIME";
    }
    Enter(Stage::kMailReply, "greeted");
}

void SmtpSession::ConnectStage() {
    const Target target = TargetOf(ctx_.settings, server_.index, pair_.folder);
    facts_.lastServer = server_.index + 1 >= ctx_.settings.smtpServers.size();
    if (!target.usable) {
        // Never handed to the resolver (an empty name is this machine): it
        // fails at once, as a server that cannot be reached does.
        server_.name = target.name;
        return ConnectFailed();
    }
    server_.name = target.host;
    conn_.host = target.host;
    conn_.port = target.port;
    conn_.endpoint = target.host + ":" + std::to_string(target.port);
    conn_.caps = ServerCapabilities{};
    conn_.messages = 0;
    conn_.tls = false;
    conn_.authenticated = false;
    conn_.socket.SetRemoteHost(server_.name);
    conn_.socket.SetRemotePort(target.port);
    Log(kLogSend, "*** Connecting " + target.host + " ***");
    server_.closed = false;
    conn_.socket.Connect();
    Enter(Stage::kConnecting, "connecting");
}

// The server cannot be reached: the TIMEOUT line, then the next one or the queue.
void SmtpSession::ConnectFailed() {
    Log(kLogStatus, "*** TIMEOUT Connecting " + server_.name + " ***");
    if (facts_.lastServer) return LeaveInQueue("unreachable");
    NextServer("next server");
}

void SmtpSession::NextServer(const char* why) {
    ++server_.index;
    server_.clearOnly = false;
    Enter(Stage::kConnect, why);
}

// The body goes out a piece at a time, the next when the last is written; the
// stage's limit counts from the last piece. A closed connection does not end
// this wait early: what the server said before it closed is judged first.
void SmtpSession::BodyStage() {
    if (LimitPassed(RowOf(stage_).firstLimit, Seconds(ctx_.clock) - stageStart_, false)) {
        Log(kLogStatus, "*** TIMEOUT during sending data ***");
        return LeaveInQueue("broken");
    }
    if (!body_.Writing()) {
        // The server answered in the middle of the body.
        if (!reply_.Empty()) return Answer();
        lastData_ = Seconds(ctx_.clock);
        bool last = false;
        const std::uint64_t before = body_.Sent();
        if (!body_.SendNext(conn_.socket, last)) return LeaveInQueue("message");
        if (ctx_.meter != nullptr) ctx_.meter->BodySent(body_.Sent() - before);
        stageStart_ = Seconds(ctx_.clock);
        if (last) return Enter(Stage::kEndOfDataReply, "body sent");
    }
    if (body_.Writing() && conn_.socket.State() != TcpSocket::kConnected) {
        // Broken off before the end of data: the server has judged nothing.
        conn_.socket.Close();
        LeaveInQueue("broken");
    }
}

// --- The ends of a conversation: delivered, refused, deferred or broken
// off, each given as its outcome (the owner hands it to the settlement).

void SmtpSession::Begin() {
    lastData_ = Seconds(ctx_.clock);
    if (ctx_.style.modern) reply_.OneReplyAtATime();
    row_.ip = "BWTarnOut";
    row_.from = "***";
    row_.to = "***";
    row_.when = ctx_.clock.Now();
    row_.action = "*** Connection lost *** " + pair_.name;
    tag_ = ctx_.log.InitLogSession(pair_.accPath, pair_.folder + pair_.name);
}

// The outcome, settled at once with its minilog action (delivered and refused:
// the audit and the sent record too). From a delivery on the pair is never
// sent again, only filed; the QUIT follows as the judgement's next stage. A
// refused or deferred pair ends the conversation: with QUIT where the server
// is still in it (RFC 5321 asks for it; the wait is short), else at once; a
// refused one is then filed, a deferred one waits the back-off in the queue.
void SmtpSession::Settle(Move outcome, const std::string& said, bool quit) {
    using Kind = DeliveryOutcome::Kind;
    if (outcome == Move::kDeliver) {
        outcome_ = DeliveryOutcome{Kind::kDelivered, "900 Delivered " + pair_.name + " to: " +
                                                         conn_.socket.RemoteHostIP() + ": " +
                                                         std::to_string(conn_.socket.RemotePort())};
        return;
    }
    const bool refused = outcome == Move::kRefuse;
    outcome_ = DeliveryOutcome{
        refused ? Kind::kRefused : Kind::kDeferred,
        std::string(refused ? "590 Peer Delivery ERROR " : "490 Peer Delivery DEFERRED ") +
            pair_.name + " (" + EscapeControls(said) + ")",
        refused ? nullptr : "deferred"};
    facts_.settled = outcome;
    if (refused && conn_.ready) return Enter(Stage::kHandOver, "refused, connection kept");
    if (quit && !server_.closed && conn_.socket.State() == TcpSocket::kConnected) {
        return Enter(Stage::kClosing, "outcome settled");
    }
    conn_.socket.Close();
    if (refused) return Enter(Stage::kFile, "refused");
    LeaveInQueue("deferred");
}

void SmtpSession::LeaveInQueue(const char* why) {
    // A pair put off by the server has its outcome already (the settlement
    // keeps the first reason); any other is broken off, for the reason given.
    if (!outcome_) {
        const bool busy = std::string_view(why) == "busy";
        outcome_ = DeliveryOutcome{
            busy ? DeliveryOutcome::Kind::kServerBusy : DeliveryOutcome::Kind::kBrokenOff,
            row_.action, why};
    }
    stage_ = Stage::kDone;  // over, left in the queue
}

std::optional<DeliveryOutcome> SmtpSession::TakeOutcome() {
    return std::exchange(outcome_, std::nullopt);
}

const char* SessionResultName(SessionResult result) {
    switch (result) {
        case SessionResult::kDelivered:
            return "delivered";
        case SessionResult::kRefused:
            return "refused";
        default:
            return "left";
    }
}

}  // namespace bw
