// The daemon's own folders outside the gateway tree, chosen by the
// environment so that systemd (RuntimeDirectory=, StateDirectory=), the tests
// and the demo can each place them:
//   run folder   (single-instance lock)   $BW_RUN_DIR, else $RUNTIME_DIRECTORY,
//                                         else /run/bwtarnout
// systemd may pass several folders in $RUNTIME_DIRECTORY, separated by ":";
// the first is ours. The state folder depends on the installation as well:
// platform/state_folder.h.
// DIAGNOSTICS: none; only names are chosen here, nothing is created.
#pragma once

#include <string>

namespace bw {

std::string RunDir();
/// $own, else the first entry of systemd's $systemd; "" when neither is set.
std::string FolderFromEnv(const char* own, const char* systemd);

}  // namespace bw
