// The on-demand reconnections that the database users run at their start
// when they find the shared connection G().oDBConn not open. Each does
// nothing when it is open, and returns whether it is open afterwards; the
// caller takes its own no-database path on false. None of them sets a
// connection timeout (the client's default applies) or touches G().oDBRS.
//   Fresh:  a new connection object on the primary string (the old object,
//           and a recordset still bound to it, are left behind).
//   Reset:  the same object, closed and opened again on the primary string.
//   Reopen: the same object, closed and opened again on the string it has.
// DIAGNOSTICS: nothing is logged; Reopen hands back the failure of its open.
#pragma once

#include "platform/error_state.h"

namespace bw {

bool ReconnectFresh();
bool ReconnectReset();
/// `lastError` receives the failure of the last failed step (the open, or
/// "no connection object" when G().oDBConn is empty).
bool ReconnectReopen(ErrorState& lastError);
bool ReconnectReopen();

}  // namespace bw
