// The parts of a conversation that move data: the envelope read from the
// ".dat", the connect to each server in turn, the body sent in pieces.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "delivery/envelope.h"
#include "delivery/server_list.h"
#include "delivery/session_log.h"
#include "delivery/smtp_session.h"
#include "platform/clock.h"

namespace bw {

namespace {

std::string TrimBlanks(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    const auto e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

bool IsOutbox(const std::string& folder) {
    std::string upper = folder;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper == "OUTBOX/";
}

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

}  // namespace

void SmtpSession::ReadEnvelopeStage() {
    std::vector<std::string> lines;
    // Only a failing read leaves the pair queued.
    if (!ReadEnvelopeLines(ctx_.files, pair_.datFile, lines)) return LeaveInQueue();
    env_ = ReadEnvelope(lines, ctx_.settings.forwardedList);
    row_.from = env_.senderAsRead;
    if (!env_.recipients.empty()) row_.to = env_.recipients.back();
    facts_.tempFailRefuses = ctx_.settings.tempFailRefuses;
    facts_.greeting = env_.helo.substr(0, 4);
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
    Enter(Stage::kConnect, "envelope read");
}

void SmtpSession::ConnectStage() {
    const auto& servers = ctx_.settings.smtpServers;
    const std::string entry = server_.index < servers.size() ? servers[server_.index] : "";
    facts_.lastServer = server_.index + 1 >= servers.size();
    const ServerEntry server = ParseServerEntry(entry);
    std::string host = server.host;
    // Each entry has its own port (25 when it names none); the peer that
    // takes the Outbox is reached on the port of the entry it stands for.
    const std::int32_t port = server.port != 0 ? server.port : 25;
    std::string unusable = server.problem.empty() ? "" : TrimBlanks(entry);
    if (IsOutbox(pair_.folder) && !ctx_.settings.peer2.empty()) {
        host = ctx_.settings.peer2;
        if (!PeerProblem(host).empty()) unusable = host;
    }
    if (!server.problem.empty() || !unusable.empty()) {
        // Never handed to the resolver (an empty name is this machine): it
        // fails at once, as a server that cannot be reached does.
        server_.name = unusable;
        return ConnectFailed();
    }
    server_.name = host;
    ws_.SetRemoteHost(server_.name);
    ws_.SetRemotePort(port);
    Log(kLogSend, "*** Connecting " + host + " ***");
    server_.closed = false;
    ws_.Connect();
    Enter(Stage::kConnecting, "connecting");
}

// The server cannot be reached: the TIMEOUT line, then the next one or the queue.
void SmtpSession::ConnectFailed() {
    Log(kLogStatus, "*** TIMEOUT Connecting " + server_.name + " ***");
    if (facts_.lastServer) return LeaveInQueue();
    ++server_.index;
    Enter(Stage::kConnect, "next server");
}

// The body goes out a piece at a time, the next when the last is written; the
// stage's limit counts from the last piece. A closed connection does not end
// this wait early: what the server said before it closed is judged first.
void SmtpSession::BodyStage() {
    if (LimitPassed(RowOf(stage_).firstLimit, Now() - stageStart_, false)) {
        Log(kLogStatus, "*** TIMEOUT during sending data ***");
        return LeaveInQueue();
    }
    if (!body_.Writing()) {
        // The server answered in the middle of the body.
        if (!reply_.Empty()) return Answer();
        lastData_ = Now();
        bool last = false;
        if (!body_.SendNext(ws_, last)) return LeaveInQueue();
        stageStart_ = Now();
        if (last) return Enter(Stage::kEndOfDataReply, "body sent");
    }
    if (body_.Writing() && ws_.State() != TcpSocket::kConnected) {
        // Broken off before the end of data: the server has judged nothing.
        ws_.Close();
        LeaveInQueue();
    }
}

}  // namespace bw
