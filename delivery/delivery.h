// The delivery as the program's entry wires it: its settings, session log,
// sent record and back-off, open queue files, shared context and dispatcher, made once at
// start, working as the classic profile until MakeProfileParts
// (profile_parts.h) fits it to its profile. The caller fills `settings` from
// the start-up's values and runs dispatcher.OnQueueTimer() on its queue timer.
// DIAGNOSTICS: none here; see the parts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "delivery/back_off.h"
#include "delivery/delivery_context.h"
#include "delivery/dispatcher.h"
#include "delivery/filing.h"
#include "delivery/hop_security.h"
#include "delivery/sent_record.h"
#include "delivery/server_concurrency.h"
#include "delivery/session_log.h"
#include "platform/background_sync.h"
#include "platform/queue_files.h"
#include "platform/tls_client.h"

namespace bw {

struct Delivery {
    /// `stateDir`: the state folder, of the sent record ("sent-pairs") and the
    /// back-off ("back-off"). `newSocket` empty: real sockets on `loop`.
    Delivery(Clock& clock, Loop& loop, ServiceControl* journal, Audit& audit,
             const std::string& stateDir, std::function<bool()> databaseOpen, Timer* queueTimer,
             SocketFactory newSocket = {});

    DeliverySettings settings;
    SessionLog log;
    SentRecord sent;
    BackOff backOff;
    QueueFiles files;
    BackgroundSync syncs;             // the fast profile's grouped syncs
    ChangedFlagGroup changed;         // and its grouped Changed.flg
    ChangedFlagAtOnce changedAtOnce;  // the classic one
    ServerConcurrency concurrency;    // the internal server's sessions at once
    HopProblems hopProblems;          // hops that could not be set up
    std::unique_ptr<TlsClient> tls;   // made at start when settings.security asks for TLS
    DeliveryContext ctx;
    Dispatcher dispatcher;
};

}  // namespace bw
