// frmSMTPClient: the delivery window. One per claimed queue pair; it owns the
// two open queue files, one TCP socket, five timers and the state of one SMTP
// conversation (SendMessage, one step per call), and leaves one minilog record
// when it unloads.
//
// Lifecycle: the dispatcher creates the window (CreateDeliveryWindow), gives it
// its fields and calls StartWindow(), which loads it. The conversation ends by
// switching tmrUnload on; the window unloads on that tick and is destroyed
// afterwards from the loop, never inside one of its own callbacks.
// A pair the server has answered for is remembered (sent_record.h) and only
// filed, never sent again; a pair in its back-off is released at once. Time
// limits run on the monotonic clock; a closed connection ends a wait at once.
// DIAGNOSTICS: nothing throws. Socket errors are swallowed and become the
// conversation's time-outs; outcomes go to the session log and the minilog
// record; a minilog row reported lost gives one "MINILOG ERROR: " log line; a
// filing that fails after the server's answer gives one journal line per try.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/audit.h"
#include "delivery/sent_record.h"
#include "delivery/smtp_reply.h"
#include "platform/error_state.h"
#include "platform/loop.h"
#include "platform/socket.h"

namespace bw {

class frmSMTPClient {
  public:
    frmSMTPClient();
    ~frmSMTPClient();
    frmSMTPClient(const frmSMTPClient&) = delete;
    frmSMTPClient& operator=(const frmSMTPClient&) = delete;

    // Given by the dispatcher before the load.
    std::string sAccPath;
    std::int16_t iDatFile = 0;
    std::int16_t iMsgFile = 0;
    std::string sQueueFolder;
    std::string sQueueName;

    /// Switches tmrStart on, which loads the window (runs the load handler).
    void StartWindow();

    /// One step of the conversation.
    void SendMessage();

    bool Loaded() const { return loaded_; }
    bool Unloaded() const { return unloaded_; }
    const tMinLog& MinLog() const { return tMinLog_; }
    std::int16_t Stage() const { return iStage; }

  private:
    // Window events.
    void Form_Load();
    void Form_Unload();
    void tmrStart_Timer();
    void tmrStage_Timer();
    void tmrGetData_Timer();
    void tmrTimeout_Timer();
    void tmrUnload_Timer();
    void ws_Error(long number, const std::string& description);
    void ws_DataArrival(std::size_t totalBytes);
    void ws_SendComplete();
    void ws_Close();

    // Conversation helpers.
    enum class Wait { kPending, kJudge };
    Wait AwaitReply(double firstLimit, double wholeLimit, bool waitContinuation);
    bool ReplyComplete() const;
    bool ReplyPositive(bool acceptThree = false) const;
    bool LimitPassed(double seconds) const;
    bool TemporaryFailure() const;
    void Defer(const std::string& command, const std::string& reply);
    void BackOff();
    bool AttemptDue();
    void RecordSent();
    void WriteAudit();
    void Settle();
    bool FilePair(ErrorState& err);
    void AfterFiling(bool filed, const ErrorState& err);
    void SendCommand(const std::string& command);
    void LeaveInQueue();
    void NextServer();
    /// The server cannot be reached: the TIMEOUT line, then the next one or the queue.
    void ConnectFailed();
    void Refuse();
    void EndWithoutFiling();
    void Stage0ReadEnvelope();
    void Stage99Connect();
    void Stage9Body();
    void Stage25File();
    void FileFile(const std::string& from, const std::string& folder, std::int16_t& fileNo,
                  ErrorState& err);

    // Controls.
    std::unique_ptr<TcpSocket> ws;
    std::unique_ptr<Timer> tmrUnload;
    std::unique_ptr<Timer> tmrStage;
    std::unique_ptr<Timer> tmrStart;
    std::unique_ptr<Timer> tmrTimeout;
    std::unique_ptr<Timer> tmrGetData;
    std::string txtSMTP;

    // Conversation state.
    std::int16_t iStage = 0;
    double dStageStart = 0;
    ReplyBuffer sRecvBuf;
    double dLastData = 0;
    bool bSendDone = false;
    std::int16_t iServerIdx = 0;
    std::vector<std::string> aRcpt;
    std::int16_t iRcptIdx = 0;
    std::string sHeloLine;
    std::string sMailFrom;
    bool bFailed = false;
    bool bBodyInLine_ = false;      // the last body part sent ended inside a long line
    bool bBodyAfterBreak_ = false;  // ... and that part ended at a bare line end
    bool bSaidBareBreaks_ = false;  // the session log has said so for this message
    bool bClosed_ = false;          // the server closed the connection (or it broke)
    int iRcptTempFails_ = 0;        // recipients answered with a "4" reply
    std::string sLastTempReply_;    // the last of those replies
    PairId pairId_;                 // the claimed files (device and inode)
    bool pairKnown_ = false;
    bool bRecorded_ = false;  // the sent record holds this pair
    bool bAudited_ = false;   // the minilog row is written (or spooled)
    tMinLog tMinLog_;

    bool loaded_ = false;
    bool unloaded_ = false;
};

/// Creates a delivery window kept alive by the delivery module until it
/// unloads; nullptr when it cannot be created.
frmSMTPClient* CreateDeliveryWindow();

/// Windows created and not yet destroyed (loaded or not).
int LiveDeliveryWindows();

/// Destroys every window that has unloaded and is in none of its own handlers.
void DestroyFinishedWindows();

/// Destroys every window, unloaded or not, without unloading it (tests).
void DestroyAllWindows();

/// Called after each window has unloaded, with its minilog record (tests and
/// benchmarks watch deliveries through it; empty in the daemon).
using UnloadObserver = std::function<void(const tMinLog& record, const std::string& sQueueName)>;
void SetUnloadObserver(UnloadObserver observer);

// Helpers of the conversation.

/// Domain of an address: the text between the first "@" and the next "@" (or
/// the end); "" for an empty address. An address without "@" raises `err`.
std::string GetDomain(const std::string& address, ErrorState& err);

/// Rewrites folder + "Changed.flg" with the current day-serial number.
void TouchChangedFlag(const std::string& folder);

}  // namespace bw
