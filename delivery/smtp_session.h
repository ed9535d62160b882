// One SMTP conversation for one claimed queue pair: read the envelope,
// connect to the internal servers in turn, greet, send the envelope and the
// body, judge each reply (stage_table.h), and end with an outcome (delivered,
// refused, deferred, or broken off when none was given), which its owner
// hands to the pair's Settlement (settlement.h): the conversation itself
// never audits, records or files. Only a "5" reply refuses a message; a
// 421, a temporary refusal or a conversation broken off before the server has
// answered the end of data leaves it in the queue with its back-off. After a
// refusal or a deferral the session says QUIT (and waits briefly for the
// answer) before it closes. Entering a stage does what its row in the stage
// table says (its command, a fresh reply, the stage clock, the timer's
// interval); a reply is judged by Judge() and the session only acts on the
// judgement. Step() does one step; the delivery session calls
// it on its stage timer and on each socket event, and runs the watchdog and
// the unload. Where the settings ask for it, the hop is secured before the
// first transaction (STARTTLS, AUTH: hop_security.h). Time limits run on the monotonic clock; a
// closed connection ends a wait at once. A reply is gathered in a bounded buffer (smtp_reply.h).
// DIAGNOSTICS: nothing throws. Socket errors become the conversation's
// time-outs; outcomes go to the session log and the minilog record (see
// settlement.h for what a lost row or a failed filing says).
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "db/audit.h"
#include "delivery/body_sender.h"
#include "delivery/delivery_context.h"
#include "delivery/delivery_meter.h"
#include "delivery/delivery_outcome.h"
#include "delivery/envelope.h"
#include "delivery/queue_pair.h"
#include "delivery/sent_record.h"
#include "delivery/server_connection.h"
#include "delivery/smtp_reply.h"
#include "delivery/stage_table.h"
#include "platform/socket.h"

namespace bw {

class SmtpSession {
  public:
    /// `connection`: held by the owner, kept open from one pair to the next
    /// where the conversation style allows (kHandOver).
    SmtpSession(DeliveryContext& ctx, QueuePair pair, ServerConnection& connection);
    SmtpSession(const SmtpSession&) = delete;
    SmtpSession& operator=(const SmtpSession&) = delete;

    /// The minilog record's opening values and the session log's banner.
    void Begin();
    /// One step of the conversation.
    void Step();
    /// What the socket says, routed by the owner: data came (taken from the
    /// socket), the server closed the connection (or it broke), a write finished.
    enum class SocketEvent { kData, kClosed, kWritten };
    void Heard(SocketEvent event);

    /// The outcome, once it is known (delivered, refused, deferred); the
    /// owner hands it to the pair's settlement.
    std::optional<DeliveryOutcome> TakeOutcome();
    /// Stages entered so far. The stage's row (RowOf) gives the stage timer's
    /// interval; in kDone the conversation is over: the owner files the pair
    /// (delivered or refused) or leaves it (with its back-off), and unloads.
    unsigned StagesEntered() const { return entered_; }
    /// No data from the server, and no body sent, for `seconds` (the watchdog).
    bool SilentFor(double seconds) const;
    Stage CurrentStage() const { return stage_; }
    QueuePair& Pair() { return pair_; }
    /// The pair's minilog record, filled as the conversation goes.
    MinilogRow& Row() { return row_; }
    /// A line in the session log under this conversation's tag.
    void Log(const char* prefix, const std::string& text);

  private:
    /// The server being tried.
    struct Server {
        std::size_t index = 0;   // in the settings' list
        std::string name;        // as the session log names it
        bool closed = false;     // it closed the connection (or the connection broke)
        bool reused = false;     // the connection was kept from an earlier pair
        bool clearOnly = false;  // TLS "may" failed with it: clear text from now on
    };

    // Stepping, entering a stage, acting on a judgement.
    void Enter(Stage next, const char* why);
    void Answer();
    // What moves data: envelope, connect, body.
    void ReadEnvelopeStage();
    void StartTransaction();
    void ConnectStage();
    void ConnectFailed();
    void NextServer(const char* why);
    void BodyStage();
    // Securing the hop (smtp_hop.cpp): STARTTLS, the handshake, AUTH.
    void SetUpHop();
    void HandshakeStage(double waited);
    void HopFailed(const std::string& cause, bool quit);
    bool InClearText(const std::string& cause);
    void SendCommand(Command command);
    // The ends of a conversation.
    void Settle(Move outcome, const std::string& said, bool quit);
    void LeaveInQueue(const char* why);

    DeliveryContext& ctx_;
    QueuePair pair_;
    ServerConnection& conn_;
    int tag_ = 0;  // the session's number in the session log

    Stage stage_ = Stage::kReadEnvelope;
    unsigned entered_ = 0;
    double stageStart_ = 0;  // the stage clock: the stage's limits count from here
    double lastData_ = 0;
    ReplyBuffer reply_;
    Server server_;
    Envelope env_;
    JudgeFacts facts_;  // what the judge knows besides the reply
    MinilogRow row_;
    std::optional<DeliveryOutcome> outcome_;  // decided, not yet taken by the owner
    BodySender body_;                         // after pair_, which it refers to
};

}  // namespace bw
