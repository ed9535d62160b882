// One SMTP conversation for one claimed queue pair: read the envelope,
// connect to the internal servers in turn, greet, send the envelope and the
// body, judge each reply (stage_table.h), and hand the outcome (delivered,
// refused, deferred, broken off) to the pair's Settlement (settlement.h),
// which audits, records and files it. Only a "5" reply refuses a message; a
// 421, a temporary refusal or a conversation broken off before the server has
// answered the end of data leaves it in the queue with its back-off. After a
// refusal or a deferral the session says QUIT (and waits briefly for the
// answer) before it closes. Step() does one step; the delivery session calls
// it on its stage timer and on each socket event, and runs the watchdog and
// the unload. Time limits run on the monotonic clock; a closed connection
// ends a wait at once. A reply is gathered in a bounded buffer (smtp_reply.h).
// DIAGNOSTICS: nothing throws. Socket errors become the conversation's
// time-outs; outcomes go to the session log and the minilog record (see
// settlement.h for what a lost row or a failed filing says).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/audit.h"
#include "delivery/body_wire.h"
#include "delivery/delivery_context.h"
#include "delivery/delivery_meter.h"
#include "delivery/queue_pair.h"
#include "delivery/sent_record.h"
#include "delivery/settlement.h"
#include "delivery/smtp_reply.h"
#include "delivery/stage_table.h"
#include "platform/socket.h"

namespace bw {

/// What the session asks of the delivery session that runs it.
struct SessionHooks {
    std::function<void(int ms)> stageInterval;  // the stage timer's interval
    std::function<void()> finish;               // stop stepping and unload
};

class SmtpSession {
  public:
    SmtpSession(DeliveryContext& ctx, QueuePair pair, TcpSocket& socket, SessionHooks hooks);
    SmtpSession(const SmtpSession&) = delete;
    SmtpSession& operator=(const SmtpSession&) = delete;

    /// The pair is due: not remembered as sent (a remembered one is filed
    /// again once a minute instead) and out of its back-off. False: release it.
    bool AttemptDue();
    /// The minilog record's opening values and the session log's banner.
    void Begin();
    /// One step of the conversation.
    void Step();
    /// Takes what the socket has received; true when something came.
    bool TakeData();
    /// The server closed the connection (or it broke).
    void Closed() { closed_ = true; }
    /// A write finished.
    void SendComplete() { sendDone_ = true; }
    /// The delivery session unloads: a pair left in the queue waits the back-off (once),
    /// and the minilog row is written unless the filing wrote it.
    void End();

    /// No data from the server, and no body sent, for `seconds` (the watchdog).
    bool SilentFor(double seconds) const { return Now() - lastData_ >= seconds; }
    Stage CurrentStage() const { return stage_; }
    QueuePair& Pair() { return pair_; }
    const tMinLog& MinLog() const { return minLog_; }
    /// What became of the pair: delivered or refused once the server answered
    /// for it and its filing began, else left in the queue.
    SessionResult Result() const;

  private:
    // smtp_session.cpp: stepping and transitions.
    void Enter(Stage next, const char* why);
    bool Waiting();
    bool LimitPassed(double seconds) const;
    double Now() const;
    void ReplyStage();
    void GoOn();
    void TakeRcptReply();
    void Judged(Verdict verdict);
    void SendCommand(const std::string& command);
    void StepConnecting();
    void StepNextRcpt();
    // session_transfer.cpp: envelope, connect, body.
    void ReadEnvelopeStage();
    bool ReadEnvelopeLines(std::vector<std::string>& lines);
    void ConnectStage();
    void ConnectFailed();
    void NextServer();
    void BodyStage();
    bool SendBodyPiece(bool& last);
    void NotSentAfterEnd(std::uint64_t bytes);
    // session_outcome.cpp: the ends of a conversation.
    void Refuse(const std::string& why, bool quit);
    void Delivered();
    void Defer(const std::string& command, const std::string& reply, bool quit);
    void CloseThen(bool file, bool quit);
    void LeaveInQueue();
    void FileStage();
    void Log(const char* prefix, const std::string& text);

    DeliveryContext& ctx_;
    QueuePair pair_;
    TcpSocket& ws_;
    SessionHooks hooks_;
    int tag_ = 0;  // the session's number in the session log

    Stage stage_ = Stage::kReadEnvelope;
    double stageStart_ = 0;
    double lastData_ = 0;
    ReplyBuffer reply_;
    bool sendDone_ = false;
    bool closed_ = false;  // the server closed the connection (or it broke)
    std::size_t serverIdx_ = 0;
    std::string server_;              // the server being tried, as the log names it
    std::vector<std::string> rcpts_;  // [0] unused; recipients from 1 on
    std::size_t rcptIdx_ = 0;
    std::string heloLine_;
    std::string mailFrom_;
    BodyWire body_;
    bool fileAfterQuit_ = false;     // kClosing ends in the filing, not the queue
    std::size_t rcptTempFails_ = 0;  // recipients answered with a "4" reply
    std::size_t rcptAccepted_ = 0;   // recipients answered with a "2" reply
    std::string lastTempReply_;      // the last "4" reply to RCPT TO
    std::string firstRefusal_;       // the first refusal of a recipient, as the action names it
    tMinLog minLog_;
    Settlement settlement_;  // after minLog_ and pair_, which it refers to
};

}  // namespace bw
