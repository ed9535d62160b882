// State of the policy store (policy/policy_store.h): the list caches, the
// in-memory lock table and greylist with their list files, and the purge
// rate limit. Slot 0 of both tables exists and is never used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

/// One tbl_lockip row, and one record of "LockIP.lst".
struct LockIPRecord {
    std::string netip;
    std::int32_t numspam = 0;
    std::int32_t numgood = 0;
    double numrejects = 0;
    double lastspam = 0;
    double lastgood = 0;
    double lastreject = 0;
    double lastlocked = 0;
    std::int16_t locklevel = 0;
    std::int16_t lockdays = 0;
};

/// One greylist triplet (tbl_greylist row, "GreyIP.lst" line). An empty netip
/// marks a free slot of the in-memory list.
struct GreyEntry {
    std::string netip, mailfrom, mailto;                              // the triplet
    double rectime = 0, allowtime = 0, exptime = 0, lastcontact = 0;  // day-serial times
    std::int16_t allowed = 0;
    std::int32_t earlycount = 0;
    std::string ipaddress;
};

struct PolicyState {
    // Every list-file match, upper-cased and followed by a tab; never cleared.
    std::string allowCache;
    std::string disAllowCache;
    std::vector<LockIPRecord> lockTable = std::vector<LockIPRecord>(1);
    std::vector<GreyEntry> greyList = std::vector<GreyEntry>(1);
    bool greyListBusy = false;
    // Seconds-since-midnight clock at the last purge run.
    double lastPurgeTimer = 0;
};

}  // namespace bw
