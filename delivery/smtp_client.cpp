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
#include "delivery/session_log.h"
#include "host/globals.h"
#include "host/paths.h"
#include "host/timing.h"
#include "platform/clock.h"
#include "platform/queue_files.h"

namespace bw {

namespace {

constexpr const char* kLogSend = "*--B->R";
constexpr const char* kLogRecv = "*--B<-R";
constexpr const char* kLogStatus = "*--*--*";
constexpr const char* kLogError = "!!!";
constexpr std::size_t kPieceSize = 8192;
// Longest reply text kept. A server's reply is a few lines; one that streams
// megabytes without ending its reply is cut here and judged at once as a
// reply that never completed, so it cannot fill the memory.
constexpr std::size_t kMaxReply = 64 * 1024;
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

double Now() {
    return G().clock->Timer();
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
    ErrorState err;
    if (g.oShared) {
        g.oShared->SetAppPath(g.AppPath);
        g.oShared->SetAccPath(sAccPath);
        err = g.oShared->AddMinLog(tMinLog_.sIP, tMinLog_.dTimestamp, tMinLog_.sFrom, tMinLog_.sTo,
                                   tMinLog_.sAction);
    } else {
        err.Raise(91, "Object variable or With block variable not set");
    }
    if (err.Failed()) {
        LogLine("*-*-*", "MINILOG ERROR: " + std::to_string(err.number) + " " + err.description);
    }
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
            if (sRecvBuf.empty()) bReplyCut_ = false;
            if (!bReplyCut_) {
                sRecvBuf.append(data, 0, kMaxReply - std::min(kMaxReply, sRecvBuf.size()));
                bReplyCut_ = sRecvBuf.size() >= kMaxReply;
            }
            dLastData = Now();
        }
    }
    tmrGetData->SetEnabled(true);
}

void frmSMTPClient::tmrTimeout_Timer() {
    if (!Elapsed(dLastData, 300)) return;
    ws->Close();
    G().loop->Wait(0.5);
    Form_Unload();
}

void frmSMTPClient::tmrUnload_Timer() {
    tmrUnload->SetEnabled(false);
    Form_Unload();
}

void frmSMTPClient::ws_Error(long, const std::string&) {
    // No message box; the conversation's time limits turn the failure into an outcome.
}

void frmSMTPClient::ws_DataArrival(std::size_t) {
    if (tmrGetData->Enabled()) tmrGetData_Timer();
    if (tmrStage->Enabled()) tmrStage_Timer();
}

void frmSMTPClient::ws_SendComplete() {
    bSendDone = true;
    ws_DataArrival(0);
}

void frmSMTPClient::ws_Close() {}

// ---- conversation helpers ----------------------------------------------------

bool frmSMTPClient::ReplyComplete() const {
    if (bReplyCut_) return false;
    const std::size_t n = sRecvBuf.size();
    return n >= 2 && sRecvBuf[n - 2] == '\r' && sRecvBuf[n - 1] == '\n';
}

bool frmSMTPClient::ReplyPositive(bool acceptThree) const {
    if (sRecvBuf.empty()) return false;
    return sRecvBuf[0] == '2' || (acceptThree && sRecvBuf[0] == '3');
}

// The wait shared by the reply stages: keep waiting while the reply is not
// complete and `firstLimit` has not passed; with `waitContinuation`, also while
// its last complete line is a continuation line ("220-...") and `wholeLimit`
// has not passed. kJudge: act on what is there now.
frmSMTPClient::Wait frmSMTPClient::AwaitReply(double firstLimit, double wholeLimit,
                                              bool waitContinuation) {
    if (bReplyCut_ && !sRecvBuf.empty()) return Wait::kJudge;
    if (!ReplyComplete() && !Elapsed(dStageStart, firstLimit)) return Wait::kPending;
    if (waitContinuation) {
        const std::size_t end = sRecvBuf.rfind("\r\n");
        if (end != std::string::npos) {
            const std::size_t prev = end == 0 ? std::string::npos : sRecvBuf.rfind("\r\n", end - 1);
            const std::size_t begin = prev == std::string::npos ? 0 : prev + 2;
            const std::string last = sRecvBuf.substr(begin, end - begin);
            if ((last.size() < 4 || last[3] != ' ') && !Elapsed(dStageStart, wholeLimit)) {
                return Wait::kPending;
            }
        }
    }
    return Wait::kJudge;
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
            if (!connected && !Elapsed(dStageStart, 5)) return;
            if (connected) {
                iStage = 2;  // the greeting limits count from the start of connecting
                return;
            }
            LogLine(kLogStatus, "*** TIMEOUT Connecting " + txtSMTP + " ***");
            if (iServerIdx >= lastServer) {
                LeaveInQueue();
            } else {
                NextServer();
            }
            return;
        }
        case 2:
            if (AwaitReply(10, 90, true) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf);
            if (ReplyComplete() && ReplyPositive()) {
                sRecvBuf.clear();
                SendCommand(sHeloLine);
                iStage = 3;
            } else if (iServerIdx >= lastServer) {
                LogLine(kLogStatus, "*** NO RESPONSE from " + txtSMTP + " ***");
                LeaveInQueue();
            } else {
                ws->Close();
                sRecvBuf.clear();
                NextServer();
            }
            return;
        case 3:
            if (AwaitReply(90, 90, true) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf);
            if (ReplyComplete() && ReplyPositive()) {
                sRecvBuf.clear();
                SendCommand("MAIL FROM: <" + sMailFrom + ">");
                iStage = 4;
                return;
            }
            LogLine(kLogStatus, "*** NO OR BAD RESPONSE from " + txtSMTP + " ***");
            if (!ReplyPositive()) {
                Refuse();
            } else {
                LeaveInQueue();
            }
            return;
        case 4:
            if (AwaitReply(90, 90, false) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf);
            if (ReplyComplete() && ReplyPositive()) {
                iStage = 5;
                tmrStage->SetInterval(5);
                return;
            }
            LogLine(kLogStatus, "*** NO RESPONSE from " + txtSMTP + " ***");
            if (!ReplyPositive()) {
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
            sRecvBuf.clear();
            SendCommand("RCPT TO: <" + aRcpt[static_cast<std::size_t>(iRcptIdx)] + ">");
            iStage = 6;
            return;
        case 6:
            if (AwaitReply(90, 90, false) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf);
            if (ReplyComplete()) {
                // A refused recipient does not stop the delivery; the answer to DATA decides.
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
            sRecvBuf.clear();
            SendCommand("DATA");
            iStage = 8;
            return;
        case 8:
            if (AwaitReply(90, 90, false) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf);
            if (ReplyComplete() && ReplyPositive(true)) {
                iStage = 9;
                tmrStage->SetInterval(1);
                bSendDone = true;  // the first piece goes out on the next step
                sRecvBuf.clear();
                return;
            }
            LogLine(kLogStatus, "*** NO OR BAD RESPONSE from " + txtSMTP + " ***");
            if (!ReplyPositive()) {
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
            LogLine(kLogRecv, sRecvBuf);
            if (ReplyComplete() && ReplyPositive()) {
                sRecvBuf.clear();
                SendCommand("QUIT");
                iStage = 14;
                return;
            }
            LogLine(kLogStatus, "*** NO OR BAD RESPONSE from " + txtSMTP + " ***");
            if (ReplyPositive() || Elapsed(dStageStart, 90)) {
                LeaveInQueue();  // no complete answer: the server may still have taken it
            } else {
                Refuse();
            }
            return;
        case 14:
            if (AwaitReply(90, 90, false) == Wait::kPending) return;
            LogLine(kLogRecv, sRecvBuf);
            ws->Close();
            iStage = 25;
            return;
        case 20:
            // A message nobody can receive is filed as refused, never counted as delivered.
            LogLine(kLogStatus, "NO VALID RCPTs!!");
            tMinLog_.sAction = "590 Peer Delivery ERROR " + sQueueName + " (NO VALID RCPTs!!)";
            sRecvBuf.clear();
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
            sRecvBuf.clear();
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
    std::string host;
    if (iServerIdx >= 0 && iServerIdx < static_cast<int>(g.aSMTPServers.size())) {
        host = TrimBlanks(g.aSMTPServers[static_cast<std::size_t>(iServerIdx)]);
    }
    SplitHostPort(host, g.lSMTPPort);
    if (g.lSMTPPort == 0) g.lSMTPPort = 25;
    if (SameFolder(sQueueFolder, "Outbox/") && !g.sPeer2.empty()) host = g.sPeer2;
    txtSMTP = host;
    ws->SetRemoteHost(txtSMTP);
    ws->SetRemotePort(g.lSMTPPort);
    LogLine(kLogSend, "*** Connecting " + host + " ***");
    ws->Connect();
    dStageStart = Now();
    iStage = 1;
}

void frmSMTPClient::Stage9Body() {
    if (Elapsed(dStageStart, 90)) {
        LogLine(kLogStatus, "*** TIMEOUT during sending data ***");
        EndWithoutFiling();
        return;
    }
    if (bSendDone) {
        bSendDone = false;
        if (sRecvBuf.empty() || AtEndNo(iMsgFile)) {
            dLastData = Now();
            std::string piece;
            piece.reserve(kPieceSize + 1024);
            std::size_t count = 0;
            std::string line;
            bool dotLine = false;
            ErrorState err;
            while (count < kPieceSize && !dotLine && !AtEndNo(iMsgFile)) {
                bool cut = false;
                if (ReadLineNo(iMsgFile, line, err, kMaxLinePart, &cut) == LineRead::kError) {
                    LeaveInQueue();
                    return;
                }
                // Only a whole line of "." ends the message, not the tail of a long one.
                dotLine = !bBodyInLine_ && !cut && line == ".";
                piece.append(line);
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
            bSendDone = false;
            ws->SendData(piece);
            dStageStart = Now();
            if (atEnd || dotLine) {
                iStage = 12;
                dStageStart = Now();
            }
        } else {
            // The server answered in the middle of the body.
            LogLine(kLogRecv, sRecvBuf);
            // A reply too short to lose its line end leaves the result as it was.
            if (sRecvBuf.size() >= 2) tMinLog_.sAction = sRecvBuf.substr(0, sRecvBuf.size() - 2);
            if (sRecvBuf[0] == '4') {
                // A temporary refusal is not a delivery: try again on a later scan.
                LeaveInQueue();
                return;
            }
            bFailed = true;
            sRecvBuf.clear();
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
    if (folder.empty() || PathExists(folder + name)) {
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

void frmSMTPClient::Stage25File() {
    auto& g = G();
    iStage = 9999;
    const std::string q = sAccPath + sQueueFolder;
    const std::string target = bFailed ? q + "BAD/" : (g.iUseTrash != 0 ? sAccPath + "Trash/" : "");
    if (bFailed) MakePath(q + "BAD");
    // The files move under the names they were claimed by, whatever their letter case.
    auto claimedPath = [&](std::int16_t fileNo, const char* ext) {
        const std::string path = FilePathNo(fileNo);
        return path.empty() ? q + sQueueName + ext : path;
    };
    ErrorState err;
    FileFile(claimedPath(iMsgFile, ".msg"), target, iMsgFile, err);
    FileFile(claimedPath(iDatFile, ".dat"), target, iDatFile, err);
    if (err.Failed()) LogLine(kLogError, "ERROR: filing " + sQueueName + ": " + err.description);
    if (!bFailed) {
        tMinLog_.sAction = "900 Delivered " + sQueueName + " to: " + ws->RemoteHostIP() + ": " +
                           std::to_string(ws->RemotePort());
        if (g.oShared) g.oShared->IncStats(g.TarnID, "delivered", 1, 0);
    } else if (sRecvBuf.size() >= 2) {
        tMinLog_.sAction = "590 Peer Delivery ERROR " + sQueueName + " (" +
                           sRecvBuf.substr(0, sRecvBuf.size() - 2) + ")";
    }
    TouchChangedFlag(sAccPath);
    tmrStage->SetEnabled(false);
    tmrUnload->SetEnabled(true);
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

bool SplitHostPort(std::string& host, std::int32_t& port) {
    const auto colon = host.find(':');
    if (colon == std::string::npos) return false;
    const auto second = host.find(':', colon + 1);
    const std::string portText = TrimBlanks(host.substr(
        colon + 1, second == std::string::npos ? std::string::npos : second - colon - 1));
    host = host.substr(0, colon);
    // A port that is not a number in range leaves the shared port as it was.
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(portText.c_str(), &end, 10);
    if (!portText.empty() && end != nullptr && *end == '\0' && errno == 0 && value >= 0 &&
        value <= 65535) {
        port = static_cast<std::int32_t>(value);
    }
    return true;
}

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
    const std::string path = folder + "Changed.flg";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::size_t len = std::strlen(text);
    if (::write(fd, text, len) != static_cast<ssize_t>(len)) {
        // The flag only tells the other components to look again; a short write is harmless.
    }
    ::close(fd);
}

}  // namespace bw
