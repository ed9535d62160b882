// The stages of one SMTP conversation, named for what each waits on, in one
// table: what entering a stage sends, its limits and timer interval, where a
// good reply leads; and the one judgement of a server's reply into going on,
// trying the next server, refusing the message, deferring it or leaving it
// queued.
//
// Stage numbers as the product has always shown them:
//   kReadEnvelope 0     kConnect 99                  kConnecting 1
//   kGreeting 2         kHeloReply 3                 kMailReply 4
//   kNextRcpt 5         kRcptReply 6                 kData 7
//   kDataReply 8        kBody 9                      kEndOfDataReply 12
//   kQuitReply 14       kNoRecipients 20             kFile 25
//   kDone 9999
// and kClosing, the short QUIT after a refusal or a deferral; in the modern
// conversation also kHeloAfterEhlo (HELO after a refused EHLO) and kHandOver
// (the message is delivered and the connection stays open for the next); where
// the hop is secured, kStartTlsReply, kTlsHandshake (then EHLO again) and the
// AUTH stages. A refused STARTTLS or AUTH is the hop's problem, never the
// message's: it is judged kHopFailed, not a refusal.
// DIAGNOSTICS: none; pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "delivery/envelope.h"
#include "delivery/smtp_reply.h"

namespace bw {

enum class Stage : std::uint8_t {
    kReadEnvelope,
    kConnect,
    kConnecting,
    kGreeting,
    kHeloReply,
    kHeloAfterEhlo,
    kStartTlsReply,
    kTlsHandshake,
    kAuthReply,
    kAuthUserReply,
    kAuthPasswordReply,
    kMailReply,
    kNextRcpt,
    kRcptReply,
    kData,
    kDataReply,
    kBody,
    kEndOfDataReply,
    kQuitReply,
    kClosing,
    kNoRecipients,
    kFile,
    kHandOver,
    kDone,
};

/// What entering a stage sends to the server.
enum class Command : std::uint8_t {
    kNone,
    kHelo,      // the envelope's greeting command ("HELO ..." or "EHLO ..."); modern: EHLO
    kHeloOnly,  // "HELO" with the envelope's greeting name
    kMailFrom,  // "MAIL FROM: <sender>"; pipelined: with every RCPT TO and DATA
    kRcptTo,    // "RCPT TO: <recipient>", the first one not yet answered
    kData,
    kQuit,
    kHangUp,        // nothing: the connection is closed
    kStartTls,      // "STARTTLS"
    kHandshake,     // nothing sent: the socket starts its TLS handshake
    kAuth,          // "AUTH PLAIN <credentials>" or "AUTH LOGIN" (made by the session)
    kAuthUser,      // AUTH LOGIN: the user name, base64
    kAuthPassword,  // AUTH LOGIN: the password, base64
};

struct StageRow {
    const char* name;
    // Entering the stage sends `command`, clears the reply and starts the stage
    // clock, unless it `keepsWait`: then the clock and what has come carry on
    // (the greeting's limits count from the start of connecting).
    Command command;
    bool keepsWait;
    int intervalMs;         // the stage timer's interval while in this stage
    double firstLimit;      // seconds to wait for (the first line of) a reply; 0: no wait
    double wholeLimit;      // seconds for the rest of a multi-line reply
    bool waitContinuation;  // wait past a continuation line ("220-...")
    const char* silence;    // status text when the reply is missing or bad
    const char* deferAs;    // what a deferral here names; nullptr: the command sent
    Stage next;             // where a good reply leads (reply stages)
    const char* why;        // ... as the stage trace says
};

const StageRow& RowOf(Stage stage);

/// `limit` seconds have passed, or the connection is `closed` (nothing more
/// can arrive).
bool LimitPassed(double limit, double waited, bool closed);
/// Whether `stage` still waits after `waited` seconds: while the reply is not
/// complete and the first limit has not passed; where the stage waits for
/// continuations, also while the last complete line is one ("220-...") and
/// the whole limit has not passed. A reply cut at the cap is judged at once.
bool AwaitsReply(Stage stage, const ReplyBuffer& reply, double waited, bool closed);

/// What the conversation does after a reply.
enum class Move : std::uint8_t {
    kGoOn,        // enter the next stage
    kDeliver,     // the server took the message: delivered, then the next stage
    kNextServer,  // try the next server
    kLeave,       // no answer (or none in SMTP): left in the queue with the back-off
    kDefer,       // a temporary refusal or a 421: back-off, "490 ... DEFERRED"
    kRefuse,      // filed as refused: only a "5" reply (or a "4" one by the setting)
    kHopFailed,   // STARTTLS or AUTH refused: the next server, else deferred
};

/// The answers to RCPT TO so far. A refused recipient does not stop the
/// delivery; the answer to DATA decides.
struct RcptTally {
    std::size_t answered = 0;  // also the index of the next recipient to send
    std::size_t accepted = 0;  // "2" replies
    std::size_t putOff = 0;    // "4" replies
    std::string lastPutOff;    // the last "4" reply
    std::string firstRefusal;  // the first refusal, as the action names it
    void Take(const ReplyBuffer& reply);
};

/// What the judge knows of the conversation besides the reply (and what the
/// commands are made of).
struct JudgeFacts {
    bool tempFailRefuses = false;  // a "4" reply refuses instead of deferring
    bool lastServer = false;       // no further server to try
    std::string greeting;          // the greeting command as sent: "HELO" or "EHLO"
    bool ehloFirst = false;        // EHLO stands in for the envelope's HELO (modern)
    bool pipelined = false;        // the envelope goes out in one write (PIPELINING)
    std::string mailParameters;    // after MAIL FROM's address: " SIZE=... BODY=8BITMIME"
    bool authLogin = false;        // AUTH LOGIN was sent (else AUTH PLAIN)
    std::size_t recipients = 0;    // in the envelope
    RcptTally rcpts;
    Move settled = Move::kGoOn;  // the outcome a QUIT in kClosing follows
};

/// The greeting name the envelope gives: what follows its greeting command.
std::string GreetingName(const Envelope& env);
/// The lines `command` sends (CR LF between lines, none after the last), from
/// the envelope and what the conversation knows (the next recipient, the
/// greeting, pipelining); "" when it sends nothing (pipelined: sent already).
std::string CommandLine(Command command, const Envelope& env, const JudgeFacts& facts);

struct Judgement {
    Move move = Move::kLeave;
    Stage next = Stage::kDone;      // kGoOn, kDeliver: the stage to enter
    const char* why = "";           // ... as the stage trace says
    std::string said;               // kDefer, kRefuse: what the action names
    bool quit = false;              // kDefer, kRefuse: the server can still take a QUIT
    const char* silence = nullptr;  // the status text of a missing or bad reply
};

/// The judgement of `reply` (complete, cut, or all that came before the
/// limit) in `stage`. Only a reply refuses the message; a conversation broken
/// off before the server has answered the end of data leaves it in the queue.
Judgement Judge(Stage stage, const ReplyBuffer& reply, const JudgeFacts& facts);

}  // namespace bw
