#include "delivery/delivery.h"

#include <utility>

#include "delivery/session_pacing.h"
#include "platform/socket.h"

namespace bw {

namespace {
SocketFactory OrRealSockets(SocketFactory newSocket, Loop& loop) {
    if (newSocket) return newSocket;
    return [&loop] { return NewTcpSocket(loop); };
}
}  // namespace

Delivery::Delivery(Clock& clock, Loop& loop, ServiceControl* journal, Audit& audit,
                   const std::string& stateDir, std::function<bool()> databaseOpen,
                   Timer* queueTimer, SocketFactory newSocket)
    : log(settings, clock, journal),
      sent(stateDir + "/sent-pairs", journal),
      backOff(stateDir, journal),
      concurrency(journal),
      hopProblems(journal),
      ctx{settings,
          clock,
          loop,
          journal,
          audit,
          log,
          sent,
          backOff,
          files,
          OrRealSockets(std::move(newSocket), loop),
          nullptr,
          &PacingOnTicks(),
          &SyncFoldersAtOnce(),
          &changedAtOnce,
          {},
          &concurrency,
          &hopProblems},
      dispatcher(ctx, std::move(databaseOpen), queueTimer) {}

}  // namespace bw
