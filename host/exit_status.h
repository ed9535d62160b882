// Exit statuses of bwtarnout. The fatal start-up errors each have their own
// status, so that the service unit can tell "restarting will not help"
// (RestartPreventExitStatus=) from a crash, and an administrator can tell
// them apart in `systemctl status`.
// DIAGNOSTICS: none; plain numbers.
#pragma once

namespace bw {

enum ExitStatus : int {
    kExitOk = 0,        // normal end; also a second instance that found the first running
    kExitFailure = 1,   // "-install" or "-remove" failed; any other failure
    kExitUsage = 2,     // the command line names an unknown option
    kExitSettings = 3,  // the settings store cannot be read or written ("Registry Problem")
    kExitAppPath = 4,   // no language folder below the application folder ("AppPath Problem!!")
    kExitLanguage = 5,  // no language chosen
    kExitFolders = 6,   // the account folder tree cannot be made
    kExitLock = 7,      // the single-instance lock cannot be opened or taken
    kExitStateDir = 8,  // the state folder (audit spool, sent-pair record) cannot be used
    kExitConfig = 9,    // a setting holds a value that is not allowed
};

}  // namespace bw
