// The pairs waiting in the queue folders of an account: Inbox/, Outbox/ and
// the BAD/ folder of each (and, for the queue view, the Hold/ folder of each
// where `bwtarnout --hold` puts pairs aside), found the way the dispatcher
// finds work (a ".dat" with its ".msg" partner, without regard to letter
// case). One listing of each folder, nothing opened, locked or followed: safe
// to call from any thread and while the daemon runs (the metrics endpoint,
// the queue view).
// DIAGNOSTICS: none; a folder that is missing or unreadable lists nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "delivery/sent_record.h"

namespace bw {

/// The folders the metrics count, in this order.
inline constexpr const char* kQueueListFolders[] = {"Inbox", "Outbox", "Inbox/BAD", "Outbox/BAD"};
/// The folders the queue view lists, in this order: those and the held pairs.
inline constexpr const char* kQueueViewFolders[] = {"Inbox",      "Outbox",     "Inbox/BAD",
                                                    "Outbox/BAD", "Inbox/Hold", "Outbox/Hold"};

struct QueuedPair {
    std::string folder;   // one of kQueueViewFolders
    std::string name;     // base name, as the ".dat" file has it
    std::string datName;  // the two names as found in the folder ("" for a missing ".msg")
    std::string msgName;
    double ageSeconds = 0;   // since the ".dat" last changed (0 when it is newer than now)
    std::int64_t bytes = 0;  // both files together (regular files only)
    PairId id;               // device and inode of both files (as the daemon knows the pair)
    /// "" for a pair the daemon would send; else why it is none: "no .msg
    /// partner", "NAME.msg is a symbolic link", "NAME.dat is a pipe (FIFO)", ...
    std::string unusable;
};

/// Every pair in the four folders of kQueueListFolders below `accPath`
/// (ending in "/"), each folder sorted by name; `nowSeconds` is the wall clock
/// (seconds since 1970). Lone files, links and anything but regular files
/// with one name are left out.
std::vector<QueuedPair> ListQueuedPairs(const std::string& accPath, double nowSeconds);

/// Every entry of the six folders of kQueueViewFolders: the pairs as above,
/// and each lone ".dat" or pair whose files are no regular files with one
/// name, with its `unusable` reason.
std::vector<QueuedPair> ListQueueEntries(const std::string& accPath, double nowSeconds);

}  // namespace bw
