// The daemon's state folder: the audit spool, the record of pairs sent but
// not yet filed, and the lock that says which daemon owns them. A state
// folder belongs to one installation (one application folder):
//   $BW_STATE_DIR, else systemd's $STATE_DIRECTORY (its first entry), else
//   /var/lib/bwtarnout/<the application folder as a name>, e.g.
//   /var/lib/bwtarnout/opt-brimwarden for /opt/brimwarden/.
// Two gateways on one host without their own settings so never meet. An
// earlier daemon kept its files right in /var/lib/bwtarnout; an installation
// whose folder is new takes them over when that folder's lock names its
// application folder (see AdoptEarlierState).
// DIAGNOSTICS: StateFolderFor only names; AdoptEarlierState returns what it
// moved or why it could not (the caller writes it to the journal).
#pragma once

#include <string>

namespace bw {

inline constexpr const char* kStateRoot = "/var/lib/bwtarnout";

/// The application folder as one file name: "/" becomes "-", letters,
/// digits and "." stay, every other byte is "_" and two hex digits ("_2d"
/// for "-"), so that two folders never give one name. A very long name is
/// cut and ends with a hash of the whole folder.
std::string InstallationName(const std::string& appPath);

/// The state folder of the installation at `appPath` (see above); `root`
/// stands for /var/lib/bwtarnout.
std::string StateFolderFor(const std::string& appPath, const std::string& root = kStateRoot);

/// The state folder of the daemon that serves `appPath`, for a command run
/// beside it: $BW_STATE_DIR, else $STATE_DIRECTORY, else `root` itself when
/// its "lock" names `appPath` as its application folder (the packaged
/// service, whose systemd gives it /var/lib/bwtarnout), else
/// StateFolderFor's default.
std::string FindStateFolder(const std::string& appPath, const std::string& root = kStateRoot);

/// When `stateDir` is the default one below `root` and does not exist yet,
/// and `root` holds an earlier daemon's "audit.spool" or "sent-pairs" whose
/// "lock" names `appPath` as its application folder and is not held, moves
/// them into `stateDir` (made here). Returns a line for the journal when
/// something was moved or was left for another reason, else "".
std::string AdoptEarlierState(const std::string& stateDir, const std::string& appPath,
                              const std::string& root = kStateRoot);

}  // namespace bw
