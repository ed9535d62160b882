// The pairs waiting in the queue folders of an account: Inbox/, Outbox/ and
// the BAD/ folder of each, found the way the dispatcher finds work (a ".dat"
// with its ".msg" partner, without regard to letter case). One listing of each
// folder, nothing opened, locked or followed: safe to call from any thread and
// while the daemon runs (the metrics endpoint, the queue view).
// DIAGNOSTICS: none; a folder that is missing or unreadable lists nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

/// The folders listed, in this order.
inline constexpr const char* kQueueListFolders[] = {"Inbox", "Outbox", "Inbox/BAD", "Outbox/BAD"};

struct QueuedPair {
    std::string folder;   // one of kQueueListFolders
    std::string name;     // base name, as the ".dat" file has it
    std::string datName;  // the two names as found in the folder
    std::string msgName;
    double ageSeconds = 0;   // since the ".dat" last changed (0 when it is newer than now)
    std::int64_t bytes = 0;  // both files together
};

/// Every pair in the four folders below `accPath` (ending in "/"), each folder
/// sorted by name; `nowSeconds` is the wall clock (seconds since 1970). Lone
/// files, links and anything but regular files are left out.
std::vector<QueuedPair> ListQueuedPairs(const std::string& accPath, double nowSeconds);

}  // namespace bw
