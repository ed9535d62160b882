// The stages of one SMTP conversation, named for what each waits on, with
// their limits and timer intervals in one table, and the one judgement of a
// server's reply into going on, refusing the message or leaving it queued.
//
// Stage numbers as the product has always shown them:
//   kReadEnvelope 0     kConnect 99                  kConnecting 1
//   kGreeting 2         kHeloReply 3                 kMailReply 4
//   kNextRcpt 5         kRcptReply 6                 kData 7
//   kDataReply 8        kBody 9                      kEndOfDataReply 12
//   kQuitReply 14       kNoRecipients 20             kFile 25
//   kDone 9999
// and kClosing, the short QUIT after a refusal or a deferral.
// DIAGNOSTICS: none; pure functions.
#pragma once

#include <cstdint>

#include "delivery/smtp_reply.h"

namespace bw {

enum class Stage : std::uint8_t {
    kReadEnvelope,
    kConnect,
    kConnecting,
    kGreeting,
    kHeloReply,
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
    kDone,
};

struct StageRow {
    const char* name;
    int intervalMs;         // the stage timer's interval while in this stage
    double firstLimit;      // seconds to wait for (the first line of) a reply; 0: no wait
    double wholeLimit;      // seconds for the rest of a multi-line reply
    bool waitContinuation;  // wait past a continuation line ("220-...")
    const char* silence;    // status text when the reply is missing or bad
    const char* deferAs;    // the command a "4" reply defers, nullptr: no deferral here
};

const StageRow& RowOf(Stage stage);

enum class Verdict {
    kGoOn,        // the reply lets the conversation go on
    kNextServer,  // try the next server
    kLeave,       // no answer (or none in SMTP): left in the queue with the back-off
    kDefer,       // a temporary refusal or a 421: back-off, "490 ... DEFERRED"
    kDeferRcpt,   // every recipient was put off: deferred as RCPT TO
    kRefuse,      // filed as refused: only a "5" reply (or a "4" one by the setting)
};

struct JudgeFacts {
    bool tempFailRefuses = false;  // a "4" reply refuses instead of deferring
    bool lastServer = false;       // no further server to try
    bool allRcptsPutOff = false;   // every recipient was answered with a "4" reply
};

/// The verdict on `reply` (complete, cut, or all that came before the limit)
/// in `stage`. Only a reply refuses the message; a conversation broken off
/// before the server has answered the end of data leaves it in the queue.
Verdict JudgeReply(Stage stage, const ReplyBuffer& reply, const JudgeFacts& facts);

}  // namespace bw
