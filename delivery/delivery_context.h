// What the delivery reads and uses, handed to it once at start: the settings
// (read by the start-up, never changed by the delivery) and the context every
// session shares (clock, loop, journal, audit, session log, sent record and
// back-off, the
// open queue files, a socket maker and the counters the rest of the daemon looks at).
// DIAGNOSTICS: none; plain data.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "delivery/hop_security.h"

namespace bw {

class Audit;
class BackOff;
class ChangedFlag;
class FolderSync;
class SessionPacing;
class Clock;
class DeliveryMeter;
class Loop;
class QueueFiles;
class ServiceControl;
class SentRecord;
class ServerConcurrency;
class SessionLog;
class TcpSocket;
class TlsClient;

/// How the delivery waits: "classic" keeps the product's timer cadence, "fast"
/// steps on every event (queue watch, socket) and groups the audit writes.
enum class Profile { kClassic, kFast };

/// The sessions at once when "MaxSessions" is not set.
inline constexpr int kClassicMaxSessions = 5;
/// The pairs one connection carries when "MessagesPerConnection" is not set.
inline constexpr int kMessagesPerConnection = 100;

struct DeliverySettings {
    std::string appPath;           // ends with "/"; the account is appPath + "TarnIN/"
    bool useTrash = true;          // "UseTrash" != 0: delivered pairs go to Trash/, else away
    bool sessionLog = false;       // "SMTPLog" = -1: the session log is written
    bool traceStages = false;      // "SMTPTrace" = 1: the session log also shows each stage change
    bool tempFailRefuses = false;  // "TempFailRefuses" = 1: a "4" reply refuses the message
    std::string peer2;             // the second peer that takes the Outbox ("" = none)
    std::vector<std::string> smtpServers;   // "host" or "host:port", tried in turn
    std::string forwardedList;              // as ForwardedListFromLines builds it
    Profile profile = Profile::kClassic;    // "Profile" in section "Server"
    int maxSessions = kClassicMaxSessions;  // "MaxSessions": delivery sessions loaded at once
    int messagesPerConnection = kMessagesPerConnection;  // "MessagesPerConnection"
    HopSecurity security;                                // TLS and AUTH on the hop to the server

    std::string AccPath() const { return appPath + "TarnIN/"; }
};

/// How the conversation speaks to a server. The classic conversation (the
/// default) greets with the envelope's own command and carries one message per
/// connection; the modern one (the fast profile's) greets with EHLO, falling
/// back to HELO when EHLO is refused, uses what the server offers (PIPELINING,
/// SIZE, 8BITMIME), carries up to `messagesPerConnection` messages and puts a
/// pair back untouched when the server answers the greeting with 421.
struct ConversationStyle {
    bool modern = false;
    int messagesPerConnection = 1;
};

using SocketFactory = std::function<std::unique_ptr<TcpSocket>()>;

struct DeliveryContext {
    const DeliverySettings& settings;
    Clock& clock;
    Loop& loop;
    ServiceControl* journal;  // the event log; may be null
    Audit& audit;             // minilog rows and statistics counts
    SessionLog& log;
    SentRecord& sent;
    BackOff& backOff;   // the waits of pairs left in the queue
    QueueFiles& files;  // the claimed queue files, by number
    SocketFactory newSocket;
    DeliveryMeter* meter = nullptr;  // the metrics; null when they are off
    // How the profile works (profile_parts.h sets them; classic by default):
    const SessionPacing* pacing;     // how a session steps
    FolderSync* folderSync;          // how a filing's folders become durable
    ChangedFlag* changedFlag;        // how a filing says the queues changed
    ConversationStyle style{};       // how a conversation speaks
    ServerConcurrency* concurrency;  // the server's sessions at once
    HopProblems* hopProblems;        // hops that could not be set up, for the journal
    TlsClient* tls = nullptr;        // the TLS context when settings.security asks for TLS
};

}  // namespace bw
