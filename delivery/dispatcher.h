// The queue dispatcher on tmrQueue.
#pragma once

namespace bw {

void tmrQueue_Timer();

}  // namespace bw
