// The queue dispatcher on tmrQueue: one queue folder per tick (Inbox, then
// Outbox, in turn), every pair nobody else holds claimed by an exclusive lock
// and handed to a new delivery window, five deliveries at most.
// DIAGNOSTICS: a queue folder that is missing or unreadable ends the process
// at once (one line on standard error); so does a delivery window that cannot
// be created in 100 attempts. A pair that cannot be claimed is skipped quietly.
#pragma once

namespace bw {

void tmrQueue_Timer();

/// Starts the folder toggle afresh (the next tick lists the Inbox); tests.
void ResetDispatcher();

}  // namespace bw
