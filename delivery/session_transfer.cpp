// The parts of a conversation that move data: the envelope read from the
// ".dat", the connect to each server in turn, the body sent in pieces.
#include <utility>

#include "delivery/envelope.h"
#include "delivery/server_list.h"
#include "delivery/session_log.h"
#include "delivery/smtp_session.h"
#include "platform/clock.h"

namespace bw {

namespace {

constexpr const char* kLogSend = "*--B->R";
constexpr const char* kLogRecv = "*--B<-R";
constexpr const char* kLogStatus = "*--*--*";
constexpr const char* kLogError = "!!!";
constexpr std::size_t kPieceSize = 8192;
// Longest part of a message line read at once. A message whose lines end in
// LF only reads as one line; it is sent in parts of this size (the bytes on
// the wire are the same), so memory does not grow with the message.
constexpr std::size_t kMaxLinePart = 64 * 1024;

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
            Log(kLogError, "ERROR: " + env.reason);
            ctx_.files.CloseFileNo(pair_.datFile);
            pair_.datFile = 0;
            return EndWithoutFiling();
        case Envelope::Outcome::kNoRecipients:
            return Enter(Stage::kNoRecipients, "no recipients");
        case Envelope::Outcome::kUnsafe:
            // Never sent but filed as bad.
            Log(kLogError, "ERROR: " + env.reason + env.where + "; not sent, filed as bad");
            minLog_.sAction = "590 Peer Delivery ERROR " + pair_.name + " (" + env.reason + ")";
            reply_.Clear();
            return Refuse();
        case Envelope::Outcome::kSend:
            break;
    }
    // The first line of the message file is never sent.
    ErrorState err;
    std::string dropped;
    bool cut = true;
    while (cut) {
        if (ctx_.files.ReadLineNo(pair_.msgFile, dropped, err, kMaxLinePart, &cut) ==
            LineRead::kError) {
            return LeaveInQueue();
        }
    }
    Enter(Stage::kConnect, "envelope read");
}

void SmtpSession::ConnectStage() {
    const auto& servers = ctx_.settings.smtpServers;
    const std::string entry = serverIdx_ < servers.size() ? servers[serverIdx_] : std::string();
    const ServerEntry server = ParseServerEntry(entry);
    std::string host = server.host;
    if (server.problem.empty() && server.port != 0) ctx_.smtpPort = server.port;
    if (ctx_.smtpPort == 0) ctx_.smtpPort = 25;
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
    ws_.SetRemotePort(ctx_.smtpPort);
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
        return EndWithoutFiling();
    }
    if (sendDone_) {
        sendDone_ = false;
        if (reply_.Empty() || ctx_.files.AtEndNo(pair_.msgFile)) {
            bool last = false;
            if (!SendBodyPiece(last)) return LeaveInQueue();
            if (last) Enter(Stage::kEndOfDataReply, "body sent");
        } else {
            ServerSpokeInBody();
            if (stage_ != Stage::kFile) return;
        }
    }
    if (!sendDone_ && ws_.State() != TcpSocket::kConnected) {
        ws_.Close();
        refused_ = true;
        if (stage_ != Stage::kFile) Enter(Stage::kFile, "connection lost in the body");
    }
}

// The server answered in the middle of the body.
void SmtpSession::ServerSpokeInBody() {
    Log(kLogRecv, reply_.Text());
    const Verdict verdict = JudgeReply(stage_, reply_, {ctx_.settings.tempFailRefuses});
    if (verdict == Verdict::kRefuse) {
        // A reply too short to lose its line end leaves the result as it was.
        if (reply_.Size() >= 2) minLog_.sAction = reply_.Summary();
        reply_.Clear();
    }
    Judged(verdict);
}

// Sends the next piece of the body (about kPieceSize bytes of lines in wire
// form); `last` when it ends the message. False when the file cannot be read.
bool SmtpSession::SendBodyPiece(bool& last) {
    lastData_ = Now();
    std::string piece;
    piece.reserve(kPieceSize + 1024);
    std::size_t count = 0;
    std::string line;
    bool dotLine = false;
    std::size_t bareBreaks = 0;
    ErrorState err;
    while (count < kPieceSize && !dotLine && !ctx_.files.AtEndNo(pair_.msgFile)) {
        bool cut = false;
        if (ctx_.files.ReadLineNo(pair_.msgFile, line, err, kMaxLinePart, &cut) ==
            LineRead::kError) {
            return false;
        }
        // Only a whole line of "." ends the message, not the tail of a long one.
        dotLine = !bodyInLine_ && !cut && line == ".";
        if (!bodyInLine_) bodyAfterBreak_ = false;
        bareBreaks += AppendWirePart(piece, line, bodyAfterBreak_);
        count += line.size();
        if (!cut) {
            piece.append("\r\n");
            count += 2;
        }
        bodyInLine_ = cut;
    }
    const bool atEnd = ctx_.files.AtEndNo(pair_.msgFile);
    if (atEnd && !dotLine) {
        if (bodyInLine_) piece.append("\r\n");
        bodyInLine_ = false;
        dotLine = true;
        piece.append(".\r\n");
    }
    if (bareBreaks > 0 && !saidBareBreaks_) {
        saidBareBreaks_ = true;
        Log(kLogStatus, "bare line feed or carriage return in the message sent as a line end");
    }
    ws_.SendData(piece);
    stageStart_ = Now();
    last = atEnd || dotLine;
    return true;
}

}  // namespace bw
