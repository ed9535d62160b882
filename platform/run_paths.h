// The daemon's own folders outside the gateway tree, chosen by the
// environment so that systemd (RuntimeDirectory=, StateDirectory=), the tests
// and the demo can each place them:
//   run folder   (single-instance lock)   $BW_RUN_DIR, else $RUNTIME_DIRECTORY,
//                                         else /run/bwtarnout
//   state folder (audit spool, record of  $BW_STATE_DIR, else $STATE_DIRECTORY,
//                 pairs sent but not yet  else /var/lib/bwtarnout
//                 filed; kept across restarts and reboots)
// systemd may pass several folders in $RUNTIME_DIRECTORY / $STATE_DIRECTORY,
// separated by ":"; the first is ours.
// DIAGNOSTICS: none; only names are chosen here, nothing is created.
#pragma once

#include <string>

namespace bw {

std::string RunDir();
std::string StateDir();

}  // namespace bw
