#include "delivery/dispatcher.h"

namespace bw {

// FIXME: the dispatcher arrives with the delivery subsystem.
void tmrQueue_Timer() {}

}  // namespace bw
