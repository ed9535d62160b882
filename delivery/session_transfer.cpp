// The parts of a conversation that move data: the envelope read from the
// ".dat", the connect to each server in turn, the body sent in pieces.
#include <utility>

#include "delivery/envelope.h"
#include "delivery/server_list.h"
#include "delivery/session_log.h"
#include "delivery/smtp_session.h"
#include "platform/clock.h"
#include "platform/service.h"

namespace bw {

namespace {

constexpr const char* kLogSend = "*--B->R";
constexpr const char* kLogRecv = "*--B<-R";
constexpr const char* kLogStatus = "*--*--*";
constexpr const char* kLogError = "!!!";
constexpr std::size_t kPieceSize = 8192;

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

}  // namespace

// An envelope line is kept up to kMaxEnvelopeLine characters and the rest of
// it skipped, so a huge line cannot fill the memory; a line that long is never
// sent. False when a read fails.
bool SmtpSession::ReadEnvelopeLines(std::vector<std::string>& lines) {
    ErrorState err;
    while (true) {
        std::string line;
        bool cut = false;
        LineRead r = ctx_.files.ReadLineNo(pair_.datFile, line, err, kMaxEnvelopeLine, &cut);
        while (r == LineRead::kLine && cut) {
            std::string rest;
            if (ctx_.files.ReadLineNo(pair_.datFile, rest, err, kMaxEnvelopeLine, &cut) ==
                LineRead::kError) {
                r = LineRead::kError;
            }
        }
        if (r == LineRead::kError) return false;
        if (r == LineRead::kEnd) return true;
        lines.push_back(std::move(line));
    }
}

void SmtpSession::ReadEnvelopeStage() {
    rcpts_.assign(1, std::string());
    std::vector<std::string> lines;
    // Only a failing read leaves the pair queued.
    if (!ReadEnvelopeLines(lines)) return LeaveInQueue();
    const Envelope env = ReadEnvelope(lines, ctx_.settings.forwardedList);
    heloLine_ = env.helo;
    mailFrom_ = env.sender;
    minLog_.sFrom = env.senderAsRead;
    if (!env.recipients.empty()) minLog_.sTo = env.recipients.back();
    rcpts_.insert(rcpts_.end(), env.recipients.begin(), env.recipients.end());
    switch (env.outcome) {
        case Envelope::Outcome::kLookupFailed:
        case Envelope::Outcome::kUnsafe:
            // It can never be sent: filed as bad, never retried.
            Log(kLogError, "ERROR: " + env.reason + env.where + "; not sent, filed as bad");
            return Refuse(env.reason, false);
        case Envelope::Outcome::kNoRecipients:
            return Enter(Stage::kNoRecipients, "no recipients");
        case Envelope::Outcome::kSend:
            break;
    }
    Enter(Stage::kConnect, "envelope read");
}

void SmtpSession::ConnectStage() {
    const auto& servers = ctx_.settings.smtpServers;
    const std::string entry = serverIdx_ < servers.size() ? servers[serverIdx_] : std::string();
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
        server_ = unusable;
        return ConnectFailed();
    }
    server_ = host;
    ws_.SetRemoteHost(server_);
    ws_.SetRemotePort(port);
    Log(kLogSend, "*** Connecting " + host + " ***");
    closed_ = false;
    ws_.Connect();
    stageStart_ = Now();
    Enter(Stage::kConnecting, "connecting");
}

// The server cannot be reached: the TIMEOUT line, then the next one or the queue.
void SmtpSession::ConnectFailed() {
    Log(kLogStatus, "*** TIMEOUT Connecting " + server_ + " ***");
    if (serverIdx_ + 1 >= ctx_.settings.smtpServers.size()) return LeaveInQueue();
    NextServer();
}

void SmtpSession::NextServer() {
    ws_.Close();
    ++serverIdx_;
    stageStart_ = Now();
    Enter(Stage::kConnect, "next server");
}

void SmtpSession::BodyStage() {
    if (Now() - stageStart_ >= RowOf(stage_).firstLimit) {
        Log(kLogStatus, "*** TIMEOUT during sending data ***");
        return LeaveInQueue();
    }
    if (sendDone_) {
        sendDone_ = false;
        if (!reply_.Empty()) {
            // The server answered in the middle of the body.
            Log(kLogRecv, reply_.Text());
            JudgeFacts facts;
            facts.tempFailRefuses = ctx_.settings.tempFailRefuses;
            return Judged(JudgeReply(stage_, reply_, facts));
        }
        bool last = false;
        if (!SendBodyPiece(last)) return LeaveInQueue();
        if (last) return Enter(Stage::kEndOfDataReply, "body sent");
    }
    if (!sendDone_ && ws_.State() != TcpSocket::kConnected) {
        // Broken off before the end of data: the server has judged nothing.
        ws_.Close();
        LeaveInQueue();
    }
}

// Sends the next piece of the body (about kPieceSize bytes of the file in
// wire form, body_wire.h); `last` when it ends the message. False when the
// file cannot be read.
bool SmtpSession::SendBodyPiece(bool& last) {
    lastData_ = Now();
    std::string piece;
    piece.reserve(kPieceSize + kPieceSize / 2);
    std::string bytes;
    const std::size_t bareBefore = body_.BareBreaks();
    ErrorState err;
    while (piece.size() < kPieceSize && !body_.Ended()) {
        const LineRead r = ctx_.files.ReadBytesNo(pair_.msgFile, bytes, kPieceSize, err);
        if (r == LineRead::kError) return false;
        if (r == LineRead::kEnd) {
            body_.Finish(piece);
            break;
        }
        const std::size_t used = body_.Feed(bytes, piece);
        if (body_.Ended())
            NotSentAfterEnd(bytes.size() - used + ctx_.files.UnreadNo(pair_.msgFile));
    }
    if (bareBefore == 0 && body_.BareBreaks() > 0) {
        Log(kLogStatus, "bare line feed or carriage return in the message sent as a line end");
    }
    ws_.SendData(piece);
    stageStart_ = Now();
    last = body_.Ended();
    return true;
}

// The message file holds its own end line ("." alone) before its end: the
// message ends there, as it always has, but never silently.
void SmtpSession::NotSentAfterEnd(std::uint64_t bytes) {
    if (bytes == 0) return;
    const std::string what = std::to_string(bytes) + " bytes after the end line \".\" of " +
                             pair_.folder + pair_.name + ".msg not sent";
    Log(kLogStatus, "*** " + what + " ***");
    if (ctx_.journal != nullptr) ctx_.journal->LogEvent(2, 110, what);
}

}  // namespace bw
