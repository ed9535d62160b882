#include "delivery/smtp_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <new>
#include <utility>

#include "db/shared_main.h"
#include "delivery/envelope.h"
#include "delivery/sent_record.h"
#include "delivery/server_list.h"
#include "delivery/session_log.h"
#include "host/globals.h"
#include "host/paths.h"
#include "platform/clock.h"
#include "platform/queue_files.h"
#include "platform/service.h"

namespace bw {

namespace {

constexpr const char* kLogSend = "*--B->R";
constexpr const char* kLogRecv = "*--B<-R";
constexpr const char* kLogStatus = "*--*--*";
constexpr const char* kLogError = "!!!";
constexpr std::size_t kPieceSize = 8192;
// How long a pair whose filing failed after the server had answered waits
// before its filing is tried again.
constexpr std::int64_t kFilingRetryMs = 60 * 1000;
// Longest part of a message line read at once. A message whose lines end in
// LF only reads as one line; it is sent in parts of this size (the bytes on
// the wire are the same), so memory does not grow with the message.
constexpr std::size_t kMaxLinePart = 64 * 1024;

// The windows alive; a window is destroyed from the loop after it has
// unloaded and none of its handlers is on the stack.
std::list<std::unique_ptr<frmSMTPClient>>& Windows() {
    static std::list<std::unique_ptr<frmSMTPClient>> windows;
    return windows;
}

UnloadObserver& Observer() {
    static UnloadObserver observer;
    return observer;
}

bool g_reapPosted = false;

// Seconds on the monotonic clock: every time limit of the conversation is
// measured here, so a step of the wall clock never counts as waiting.
double Now() {
    return static_cast<double>(G().clock->MonotonicMs()) / 1000.0;
}

bool TimePassed(double start, double seconds) {
    return Now() - start >= seconds;
}

std::string TrimBlanks(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    const auto e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool SameFolder(const std::string& a, const std::string& b) {
    return Upper(a) == Upper(b);
}

}  // namespace

// Marks a window as busy while one of its handlers runs; the last one out of
// an unloaded window asks the loop to destroy it.
class HandlerScope {
  public:
    explicit HandlerScope(int& depth) : depth_(depth) { ++depth_; }
    ~HandlerScope() {
        if (--depth_ == 0) ScheduleReap();
    }
    static void ScheduleReap() {
        if (g_reapPosted || G().loop == nullptr) return;
        g_reapPosted = true;
        G().loop->Post([] {
            g_reapPosted = false;
            DestroyFinishedWindows();
        });
    }

  private:
    int& depth_;
};

namespace {
// Handler depth per window, kept beside the registry so the scope needs no friend.
std::map<const frmSMTPClient*, int>& Depths() {
    static std::map<const frmSMTPClient*, int> depths;
    return depths;
}
}  // namespace

#define BW_HANDLER HandlerScope scope_(Depths()[this])

frmSMTPClient::frmSMTPClient() {
    Loop& loop = *G().loop;
    ws = NewTcpSocket(loop);
    // Every timer tick and socket event runs its member handler inside the
    // window's handler scope, so a window is never destroyed under itself.
    auto handler = [this](auto fn) {
        return [this, fn](auto&&... args) {
            BW_HANDLER;
            (this->*fn)(std::forward<decltype(args)>(args)...);
        };
    };
    tmrUnload = std::make_unique<Timer>(loop, 5, false, handler(&frmSMTPClient::tmrUnload_Timer));
    tmrStage = std::make_unique<Timer>(loop, 250, false, handler(&frmSMTPClient::tmrStage_Timer));
    tmrStart = std::make_unique<Timer>(loop, 10, false, handler(&frmSMTPClient::tmrStart_Timer));
    tmrTimeout =
        std::make_unique<Timer>(loop, 1000, false, handler(&frmSMTPClient::tmrTimeout_Timer));
    tmrGetData =
        std::make_unique<Timer>(loop, 20, false, handler(&frmSMTPClient::tmrGetData_Timer));
    ws->onError = handler(&frmSMTPClient::ws_Error);
    ws->onDataArrival = handler(&frmSMTPClient::ws_DataArrival);
    ws->onSendComplete = handler(&frmSMTPClient::ws_SendComplete);
    ws->onClose = handler(&frmSMTPClient::ws_Close);
}

frmSMTPClient::~frmSMTPClient() {
    // A window dropped without unloading (process end) still releases its files.
    CloseFileNo(iDatFile);
    CloseFileNo(iMsgFile);
    Depths().erase(this);
}

// ---- lifecycle ---------------------------------------------------------------

void frmSMTPClient::StartWindow() {
    BW_HANDLER;
    tmrStart->SetEnabled(true);
    if (loaded_) return;
    pairKnown_ = IdentifyPair(iDatFile, iMsgFile, pairId_);
    if (pairKnown_ && !AttemptDue()) {
        CloseFileNo(iDatFile);
        CloseFileNo(iMsgFile);
        iDatFile = 0;
        iMsgFile = 0;
        tmrStart->SetEnabled(false);
        loaded_ = true;
        unloaded_ = true;
        return;
    }
    loaded_ = true;
    // Design-time state: the stage and data timers run from the load on.
    tmrStage->SetEnabled(true);
    tmrGetData->SetEnabled(true);
    Form_Load();
}

void frmSMTPClient::Form_Load() {
    auto& g = G();
    ++g.iActiveTransfers;
    dLastData = Now();
    tmrTimeout->SetEnabled(true);
    tMinLog_.sIP = "BWTarnOut";
    tMinLog_.sFrom = "***";
    tMinLog_.sTo = "***";
    tMinLog_.dTimestamp = g.clock->Now();
    tMinLog_.sAction = "*** Connection lost ***";
    InitLogSession(sAccPath);
}

void frmSMTPClient::Form_Unload() {
    if (!loaded_ || unloaded_) return;
    unloaded_ = true;
    auto& g = G();
    CloseFileNo(iDatFile);
    CloseFileNo(iMsgFile);
    iDatFile = 0;
    iMsgFile = 0;
    tmrStart->SetEnabled(false);
    tmrStage->SetEnabled(false);
    tmrTimeout->SetEnabled(false);
    tmrGetData->SetEnabled(false);
    tmrUnload->SetEnabled(false);
    ws->Close();
    WriteAudit();
    --g.iActiveTransfers;
    if (Observer()) Observer()(tMinLog_, sQueueName);
}

void frmSMTPClient::tmrStart_Timer() {
    tmrStart->SetEnabled(false);
}

void frmSMTPClient::tmrStage_Timer() {
    tmrStage->SetEnabled(false);
    SendMessage();
    // A step that ended the session asked for the unload; at 1 ms the stage
    // timer would otherwise step again (and log again) before the 5 ms unload.
    if (!tmrUnload->Enabled()) tmrStage->SetEnabled(true);
}

void frmSMTPClient::tmrGetData_Timer() {
    tmrGetData->SetEnabled(false);
    if (ws->BytesReceived() > 0) {
        const std::string data = ws->TakeData();
        if (!data.empty()) {
            sRecvBuf.Append(data);
            dLastData = Now();
        }
    }
    tmrGetData->SetEnabled(true);
}

void frmSMTPClient::tmrTimeout_Timer() {
    if (!TimePassed(dLastData, 300)) return;
    ws->Close();
    G().loop->Wait(0.5);
    Form_Unload();
}

void frmSMTPClient::tmrUnload_Timer() {
    tmrUnload->SetEnabled(false);
    Form_Unload();
}

void frmSMTPClient::ws_Error(long, const std::string&) {
    // No message box. While connecting, the time limit turns the failure into
    // an outcome; a connection that breaks later ends the wait like a close.
    if (iStage != 1 && iStage != 99 && ws->State() == TcpSocket::kError) ws_Close();
}

void frmSMTPClient::ws_DataArrival(std::size_t) {
    if (tmrGetData->Enabled()) tmrGetData_Timer();
    if (tmrStage->Enabled()) tmrStage_Timer();
}

void frmSMTPClient::ws_SendComplete() {
    bSendDone = true;
    ws_DataArrival(0);
}

// The server closed the connection: take what is left and judge at once.
void frmSMTPClient::ws_Close() {
    bClosed_ = true;
    ws_DataArrival(0);
}

// ---- conversation helpers ----------------------------------------------------

bool frmSMTPClient::ReplyComplete() const {
    return sRecvBuf.Complete();
}

bool frmSMTPClient::ReplyPositive(bool acceptThree) const {
    const char c = sRecvBuf.First();
    return c == '2' || (acceptThree && c == '3');
}

// A wait for a reply ends when its limit has passed or the server has closed
// the connection: nothing more can arrive.
bool frmSMTPClient::LimitPassed(double seconds) const {
    return bClosed_ || TimePassed(dStageStart, seconds);
}

// The wait shared by the reply stages: keep waiting while the reply is not
// complete and `firstLimit` has not passed; with `waitContinuation`, also while
// its last complete line is a continuation line ("220-...") and `wholeLimit`
// has not passed. kJudge: act on what is there now.
frmSMTPClient::Wait frmSMTPClient::AwaitReply(double firstLimit, double wholeLimit,
                                              bool waitContinuation) {
    if (sRecvBuf.Cut()) return Wait::kJudge;
    if (!ReplyComplete() && !LimitPassed(firstLimit)) return Wait::kPending;
    if (waitContinuation && sRecvBuf.LastLineContinues() && !LimitPassed(wholeLimit)) {
        return Wait::kPending;
    }
    return Wait::kJudge;
}

// A complete reply beginning with "4" is a temporary failure (unless the
// setting makes it a refusal, as every reply not beginning with "2" once was).
bool frmSMTPClient::TemporaryFailure() const {
    return !G().bTempFailRefuses && ReplyComplete() && sRecvBuf.First() == '4';
}

// Leaves the pair in the queue for a later attempt after the back-off; the
// minilog action names the command and the reply.
void frmSMTPClient::Defer(const std::string& command, const std::string& reply) {
    tMinLog_.sAction =
        "490 Peer Delivery DEFERRED " + sQueueName + " (" + command + ": " + reply + ")";
    BackOff();
    LeaveInQueue();
}

void frmSMTPClient::BackOff() {
    if (!pairKnown_) return;
    const std::int64_t waitMs = DeferPair(pairId_, sQueueName, G().clock->MonotonicMs());
    LogLine(kLogStatus, "*** next attempt in " + std::to_string(waitMs / 60000) + " minutes ***");
}

void frmSMTPClient::SendCommand(const std::string& command) {
    LogLine(kLogSend, command);
    ws->SendData(command + "\r\n");
    dStageStart = Now();
}

void frmSMTPClient::LeaveInQueue() {
    CloseFileNo(iDatFile);
    CloseFileNo(iMsgFile);
    iDatFile = 0;
    iMsgFile = 0;
    EndWithoutFiling();
}

void frmSMTPClient::EndWithoutFiling() {
    tmrStage->SetEnabled(false);
    tmrUnload->SetEnabled(true);
}

void frmSMTPClient::NextServer() {
    ws->Close();
    ++iServerIdx;
    iStage = 99;
    dStageStart = Now();
}

void frmSMTPClient::ConnectFailed() {
    LogLine(kLogStatus, "*** TIMEOUT Connecting " + txtSMTP + " ***");
    if (iServerIdx >= static_cast<int>(G().aSMTPServers.size()) - 1) {
        LeaveInQueue();
    } else {
        NextServer();
    }
}

void frmSMTPClient::Refuse() {
    bFailed = true;
    iStage = 25;
}

// ---- the conversation --------------------------------------------------------

void frmSMTPClient::SendMessage() {
    if (iDatFile == 0 || iMsgFile == 0) {
        CloseFileNo(iDatFile);
        CloseFileNo(iMsgFile);
        iDatFile = 0;
        iMsgFile = 0;
        tmrUnload->SetEnabled(true);
        return;
    }
    const int lastServer = static_cast<int>(G().aSMTPServers.size()) - 1;
    switch (iStage) {
        case 0:
            Stage0ReadEnvelope();
            return;
        case 99:
            Stage99Connect();
            return;
        case 1: {
            const bool connected = ws->State() == TcpSocket::kConnected;
            if (!connected && !TimePassed(dStageStart, 5)) return;
            if (connected) {
                iStage = 2;  // the greeting limits count from the start of connecting
                return;
            }
            ConnectFailed();
            return;
        }
        case 2:
            if (AwaitReply(10, 90, true) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf.Text());
            if (ReplyComplete() && ReplyPositive()) {
                sRecvBuf.Clear();
                SendCommand(sHeloLine);
                iStage = 3;
            } else if (iServerIdx >= lastServer) {
                LogLine(kLogStatus, "*** NO RESPONSE from " + txtSMTP + " ***");
                LeaveInQueue();
            } else {
                ws->Close();
                sRecvBuf.Clear();
                NextServer();
            }
            return;
        case 3:
            if (AwaitReply(90, 90, true) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf.Text());
            if (ReplyComplete() && ReplyPositive()) {
                sRecvBuf.Clear();
                SendCommand("MAIL FROM: <" + sMailFrom + ">");
                iStage = 4;
                return;
            }
            LogLine(kLogStatus, "*** NO OR BAD RESPONSE from " + txtSMTP + " ***");
            if (TemporaryFailure()) {
                Defer(sHeloLine.substr(0, 4), sRecvBuf.Summary());
            } else if (!ReplyPositive()) {
                Refuse();
            } else {
                LeaveInQueue();
            }
            return;
        case 4:
            if (AwaitReply(90, 90, false) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf.Text());
            if (ReplyComplete() && ReplyPositive()) {
                iStage = 5;
                tmrStage->SetInterval(5);
                return;
            }
            LogLine(kLogStatus, "*** NO RESPONSE from " + txtSMTP + " ***");
            if (TemporaryFailure()) {
                Defer("MAIL FROM", sRecvBuf.Summary());
            } else if (!ReplyPositive()) {
                Refuse();
            } else {
                LeaveInQueue();
            }
            return;
        case 5:
            tmrStage->SetInterval(100);
            ++iRcptIdx;
            if (iRcptIdx >= static_cast<int>(aRcpt.size())) {
                tmrStage->SetInterval(5);
                iStage = 7;
                return;
            }
            sRecvBuf.Clear();
            SendCommand("RCPT TO: <" + aRcpt[static_cast<std::size_t>(iRcptIdx)] + ">");
            iStage = 6;
            return;
        case 6:
            if (AwaitReply(90, 90, false) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf.Text());
            if (ReplyComplete()) {
                // A refused recipient does not stop the delivery; the answer to DATA decides.
                if (sRecvBuf.First() == '4') {
                    ++iRcptTempFails_;
                    sLastTempReply_ = sRecvBuf.Summary();
                }
                tmrStage->SetInterval(5);
                iStage = 5;
                return;
            }
            LogLine(kLogStatus, "*** NO RESPONSE from " + txtSMTP + " ***");
            if (!ReplyPositive()) {
                Refuse();
            } else {
                LeaveInQueue();
            }
            return;
        case 7:
            tmrStage->SetInterval(100);
            sRecvBuf.Clear();
            SendCommand("DATA");
            iStage = 8;
            return;
        case 8:
            if (AwaitReply(90, 90, false) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf.Text());
            if (ReplyComplete() && ReplyPositive(true)) {
                iStage = 9;
                tmrStage->SetInterval(1);
                bSendDone = true;  // the first piece goes out on the next step
                sRecvBuf.Clear();
                return;
            }
            LogLine(kLogStatus, "*** NO OR BAD RESPONSE from " + txtSMTP + " ***");
            if (TemporaryFailure()) {
                Defer("DATA", sRecvBuf.Summary());
            } else if (!G().bTempFailRefuses && ReplyComplete() &&
                       iRcptTempFails_ == static_cast<int>(aRcpt.size()) - 1) {
                // Every recipient was put off for now: the refusal of DATA follows from that.
                Defer("RCPT TO", sLastTempReply_);
            } else if (!ReplyPositive()) {
                Refuse();
            } else {
                LeaveInQueue();
            }
            return;
        case 9:
            Stage9Body();
            return;
        case 12:
            tmrStage->SetInterval(100);
            if (AwaitReply(90, 90, false) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf.Text());
            if (ReplyComplete() && ReplyPositive()) {
                // Taken: from here on the pair is never sent again, only filed.
                Settle();
                sRecvBuf.Clear();
                SendCommand("QUIT");
                iStage = 14;
                return;
            }
            LogLine(kLogStatus, "*** NO OR BAD RESPONSE from " + txtSMTP + " ***");
            if (TemporaryFailure()) {
                Defer("end of data", sRecvBuf.Summary());
            } else if (ReplyComplete()) {
                Refuse();
            } else {
                // No readable answer: the server may still have taken it, so
                // the next attempt waits rather than sending a copy at once.
                BackOff();
                LeaveInQueue();
            }
            return;
        case 14:
            if (AwaitReply(90, 90, false) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf.Text());
            ws->Close();
            iStage = 25;
            return;
        case 20:
            // A message nobody can receive is filed as refused, never counted as delivered.
            LogLine(kLogStatus, "NO VALID RCPTs!!");
            tMinLog_.sAction = "590 Peer Delivery ERROR " + sQueueName + " (NO VALID RCPTs!!)";
            sRecvBuf.Clear();
            Refuse();
            return;
        case 25:
            Stage25File();
            return;
        default:
            return;  // 9999: finished
    }
}

void frmSMTPClient::Stage0ReadEnvelope() {
    tmrGetData->SetEnabled(true);
    aRcpt.assign(1, std::string());
    ErrorState err;
    // An envelope line is kept up to kMaxEnvelopeLine characters and the rest
    // of it skipped, so a huge line cannot fill the memory; a line that long is
    // never sent.
    std::vector<std::string> lines;
    while (true) {
        std::string line;
        bool cut = false;
        LineRead r = ReadLineNo(iDatFile, line, err, kMaxEnvelopeLine, &cut);
        while (r == LineRead::kLine && cut) {
            std::string rest;
            if (ReadLineNo(iDatFile, rest, err, kMaxEnvelopeLine, &cut) == LineRead::kError) {
                r = LineRead::kError;
            }
        }
        // Only a failing read leaves the pair queued.
        if (r == LineRead::kError) {
            LeaveInQueue();
            return;
        }
        if (r == LineRead::kEnd) break;
        lines.push_back(std::move(line));
    }
    const Envelope env = ReadEnvelope(lines, G().sForwardedList);
    sHeloLine = env.helo;
    sMailFrom = env.sender;
    tMinLog_.sFrom = env.senderAsRead;
    if (!env.recipients.empty()) tMinLog_.sTo = env.recipients.back();
    aRcpt.insert(aRcpt.end(), env.recipients.begin(), env.recipients.end());
    switch (env.outcome) {
        case Envelope::Outcome::kLookupFailed:
            LogLine(kLogError, "ERROR: " + env.reason);
            CloseFileNo(iDatFile);
            iDatFile = 0;
            EndWithoutFiling();
            return;
        case Envelope::Outcome::kNoRecipients:
            iStage = 20;
            return;
        case Envelope::Outcome::kUnsafe:
            // Never sent but filed as bad.
            LogLine(kLogError, "ERROR: " + env.reason + env.where + "; not sent, filed as bad");
            tMinLog_.sAction = "590 Peer Delivery ERROR " + sQueueName + " (" + env.reason + ")";
            sRecvBuf.Clear();
            Refuse();
            return;
        case Envelope::Outcome::kSend:
            break;
    }

    std::string dropped;
    bool cut = true;
    while (cut) {
        if (ReadLineNo(iMsgFile, dropped, err, kMaxLinePart, &cut) == LineRead::kError) {
            LeaveInQueue();
            return;
        }
    }
    iStage = 99;
}

void frmSMTPClient::Stage99Connect() {
    auto& g = G();
    std::string entry;
    if (iServerIdx >= 0 && iServerIdx < static_cast<int>(g.aSMTPServers.size())) {
        entry = g.aSMTPServers[static_cast<std::size_t>(iServerIdx)];
    }
    const ServerEntry server = ParseServerEntry(entry);
    std::string host = server.host;
    if (server.problem.empty() && server.port != 0) g.lSMTPPort = server.port;
    if (g.lSMTPPort == 0) g.lSMTPPort = 25;
    std::string unusable = server.problem.empty() ? "" : TrimBlanks(entry);
    if (SameFolder(sQueueFolder, "Outbox/") && !g.sPeer2.empty()) {
        host = g.sPeer2;
        if (!PeerProblem(host).empty()) unusable = host;
    }
    if (!server.problem.empty() || !unusable.empty()) {
        // Never handed to the resolver (an empty name is this machine): it
        // fails at once, as a server that cannot be reached does.
        txtSMTP = unusable;
        ConnectFailed();
        return;
    }
    txtSMTP = host;
    ws->SetRemoteHost(txtSMTP);
    ws->SetRemotePort(g.lSMTPPort);
    LogLine(kLogSend, "*** Connecting " + host + " ***");
    bClosed_ = false;
    ws->Connect();
    dStageStart = Now();
    iStage = 1;
}

void frmSMTPClient::Stage9Body() {
    if (TimePassed(dStageStart, 90)) {
        LogLine(kLogStatus, "*** TIMEOUT during sending data ***");
        EndWithoutFiling();
        return;
    }
    if (bSendDone) {
        bSendDone = false;
        if (sRecvBuf.Empty() || AtEndNo(iMsgFile)) {
            dLastData = Now();
            std::string piece;
            piece.reserve(kPieceSize + 1024);
            std::size_t count = 0;
            std::string line;
            bool dotLine = false;
            std::size_t bareBreaks = 0;
            ErrorState err;
            while (count < kPieceSize && !dotLine && !AtEndNo(iMsgFile)) {
                bool cut = false;
                if (ReadLineNo(iMsgFile, line, err, kMaxLinePart, &cut) == LineRead::kError) {
                    LeaveInQueue();
                    return;
                }
                // Only a whole line of "." ends the message, not the tail of a long one.
                dotLine = !bBodyInLine_ && !cut && line == ".";
                if (!bBodyInLine_) bBodyAfterBreak_ = false;
                bareBreaks += AppendWirePart(piece, line, bBodyAfterBreak_);
                count += line.size();
                if (!cut) {
                    piece.append("\r\n");
                    count += 2;
                }
                bBodyInLine_ = cut;
            }
            const bool atEnd = AtEndNo(iMsgFile);
            if (atEnd && !dotLine) {
                if (bBodyInLine_) piece.append("\r\n");
                bBodyInLine_ = false;
                dotLine = true;
                piece.append(".\r\n");
            }
            if (bareBreaks > 0 && !bSaidBareBreaks_) {
                bSaidBareBreaks_ = true;
                LogLine(kLogStatus,
                        "bare line feed or carriage return in the message sent as a line end");
            }
            bSendDone = false;
            ws->SendData(piece);
            dStageStart = Now();
            if (atEnd || dotLine) {
                iStage = 12;
                dStageStart = Now();
            }
        } else {
            // The server answered in the middle of the body.
            LogLine(kLogRecv, sRecvBuf.Text());
            // Acted on as it arrives, so a "4" counts before its line end is in.
            if (!G().bTempFailRefuses && sRecvBuf.First() == '4') {
                Defer("message body", sRecvBuf.Text().substr(0, sRecvBuf.Text().find("\r\n")));
                return;
            }
            // A reply too short to lose its line end leaves the result as it was.
            if (sRecvBuf.Size() >= 2) tMinLog_.sAction = sRecvBuf.Summary();
            bFailed = true;
            sRecvBuf.Clear();
            iStage = 25;
            tmrStage->SetInterval(100);
        }
    }
    if (!bSendDone && ws->State() != TcpSocket::kConnected) {
        ws->Close();
        iStage = 25;
        bFailed = true;
        tmrStage->SetInterval(100);
    }
}

void frmSMTPClient::FileFile(const std::string& from, const std::string& folder,
                             std::int16_t& fileNo, ErrorState& err) {
    // The lock is dropped only after the name has moved on, so no scan can claim
    // a half-filed file.
    const std::string name = from.substr(from.find_last_of('/') + 1);
    ErrorState fileErr;
    if (folder.empty() || NameInRealFolder(folder, name)) {
        DeleteFileSafe(from, fileErr);
    } else if (!MoveFileSafe(from, folder + name, true, fileErr)) {
        if (fileErr.number == EEXIST || !bFailed) {
            // Filed under that name meanwhile, or delivered: the trash copy is a courtesy.
            ErrorState delErr;
            if (fileErr.number == EEXIST) fileErr.Clear();
            DeleteFileSafe(from, delErr);
            if (delErr.Failed()) fileErr.Raise(delErr.number, delErr.description);
        }
        // A refused message whose folder failed is never deleted: it stays queued.
    }
    if (fileErr.Failed()) err.Raise(fileErr.number, fileErr.description);
    CloseFileNo(fileNo);
    fileNo = 0;
}

// Moves or deletes both files of the pair, to BAD when refused, else to the
// trash (or away). False, with `err` raised, when a file stays in the queue.
bool frmSMTPClient::FilePair(ErrorState& err) {
    const std::string q = sAccPath + sQueueFolder;
    const std::string target =
        bFailed ? q + "BAD/" : (G().iUseTrash != 0 ? sAccPath + "Trash/" : "");
    if (bFailed) MakePath(q + "BAD");
    // The files move under the names they were claimed by, whatever their letter case.
    auto claimedPath = [&](std::int16_t fileNo, const char* ext) {
        const std::string path = FilePathNo(fileNo);
        return path.empty() ? q + sQueueName + ext : path;
    };
    FileFile(claimedPath(iMsgFile, ".msg"), target, iMsgFile, err);
    FileFile(claimedPath(iDatFile, ".dat"), target, iDatFile, err);
    return !err.Failed();
}

// The window's minilog row, once: at the filing of a pair the server has
// answered for, else when the window unloads. A row that cannot be written
// waits in the audit spool.
void frmSMTPClient::WriteAudit() {
    if (bAudited_) return;
    bAudited_ = true;
    auto& g = G();
    ErrorState err;
    if (g.audit) {
        err = g.audit->AddMinLog(tMinLog_);
    } else {
        err.Raise(91, "Object variable or With block variable not set");
    }
    if (err.Failed()) {
        LogLine("*-*-*", "MINILOG ERROR: " + std::to_string(err.number) + " " + err.description);
    }
}

// Remembers that the server has answered for this pair, before it is filed.
void frmSMTPClient::RecordSent() {
    if (!pairKnown_ || bRecorded_) return;
    bRecorded_ = true;
    RememberSent({pairId_, sQueueName, bFailed, 0});
}

void frmSMTPClient::AfterFiling(bool filed, const ErrorState& err) {
    if (!pairKnown_) return;
    if (filed) {
        ForgetSent(pairId_);
        ClearDeferral(pairId_);
        return;
    }
    if (SentEntry* e = FindSent(pairId_, sQueueName)) {
        e->nextFilingMs = G().clock->MonotonicMs() + kFilingRetryMs;
    }
    if (G().service != nullptr) {
        G().service->LogEvent(2, 110,
                              "Filing " + sAccPath + sQueueFolder + sQueueName +
                                  " failed: " + err.description +
                                  "; it is not sent again, its filing is retried in a minute");
    }
}

// Settles a pair the server has answered for (at its answer to the end of
// data, or at the filing). The audit (count and minilog row, spooled when the
// database is away) is written before the sent record, and the record before
// the filing: a kill between the server's answer and the record sends the pair
// once more (with a row of its own), a kill after it files the pair at the
// next start without sending it; no delivery is left without its row and count.
void frmSMTPClient::Settle() {
    auto& g = G();
    if (!bAudited_) {
        if (!bFailed) {
            tMinLog_.sAction = "900 Delivered " + sQueueName + " to: " + ws->RemoteHostIP() + ": " +
                               std::to_string(ws->RemotePort());
            if (g.audit) g.audit->IncStats("delivered", 1);
        } else if (sRecvBuf.Size() >= 2) {
            tMinLog_.sAction =
                "590 Peer Delivery ERROR " + sQueueName + " (" + sRecvBuf.Summary() + ")";
        }
        WriteAudit();
    }
    RecordSent();
}

void frmSMTPClient::Stage25File() {
    iStage = 9999;
    Settle();
    ErrorState err;
    const bool filed = FilePair(err);
    if (!filed) LogLine(kLogError, "ERROR: filing " + sQueueName + ": " + err.description);
    AfterFiling(filed, err);
    TouchChangedFlag(sAccPath);
    tmrStage->SetEnabled(false);
    tmrUnload->SetEnabled(true);
}

// A pair the server has answered for is only filed again (once a minute); a
// pair in its back-off waits. Either way the window is not loaded: no
// conversation, no log lines, no minilog row.
bool frmSMTPClient::AttemptDue() {
    const std::int64_t now = G().clock->MonotonicMs();
    if (SentEntry* e = FindSent(pairId_, sQueueName)) {
        if (now >= e->nextFilingMs) {
            bFailed = e->refused;
            bRecorded_ = true;
            ErrorState err;
            const bool filed = FilePair(err);
            if (filed) TouchChangedFlag(sAccPath);
            AfterFiling(filed, err);
        }
        return false;
    }
    return now >= RetryNotBefore(pairId_, sQueueName);
}

// ---- window registry ---------------------------------------------------------

frmSMTPClient* CreateDeliveryWindow() {
    if (G().loop == nullptr) return nullptr;
    try {
        Windows().push_back(std::make_unique<frmSMTPClient>());
        return Windows().back().get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int LiveDeliveryWindows() {
    return static_cast<int>(Windows().size());
}

void DestroyFinishedWindows() {
    auto& windows = Windows();
    for (auto it = windows.begin(); it != windows.end();) {
        frmSMTPClient* w = it->get();
        const auto d = Depths().find(w);
        const bool busy = d != Depths().end() && d->second > 0;
        if (!busy && w->Unloaded()) {
            it = windows.erase(it);
        } else {
            ++it;
        }
    }
}

void DestroyAllWindows() {
    Windows().clear();
}

void SetUnloadObserver(UnloadObserver observer) {
    Observer() = std::move(observer);
}

// ---- helpers -----------------------------------------------------------------

std::string GetDomain(const std::string& address, ErrorState& err) {
    if (address.empty()) return "";
    const auto at = address.find('@');
    if (at == std::string::npos) {
        err.Raise(5, "no \"@\" in address \"" + address + "\"");
        return "";
    }
    const auto next = address.find('@', at + 1);
    return address.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
}

void TouchChangedFlag(const std::string& folder) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g\r\n", G().clock->Now());
    // A new file replaces the flag, so a link put in its place is never written
    // through. The flag only tells the other components to look again: a
    // failure is harmless.
    ErrorState ignored;
    ReplaceFile(folder, "Changed.flg", text, ignored);
}

}  // namespace bw
