// The settings of the policy store, given by its owner: the IP-lock
// threshold and unit, the greylist delay, frame and expiry, and three values
// kept for the receiving side (RBLLockPoint, GreyAutoWL, MBFF) that no rule
// here reads.
#pragma once

#include <cstdint>

namespace bw {

struct PolicySettings {
    std::int16_t IPLockThreshold = 0;  // spam events that lock a network without good mail
    std::int16_t IPLockUnit = 0;       // days of the first lock level
    std::int16_t RBLLockPoint = 0;
    std::int16_t GreyDelay = 0;  // minutes before a retry passes
    std::int16_t GreyFrame = 0;  // minutes after which a pending triplet is stale
    std::int16_t GreyExp = 0;    // days an allowed triplet lives after its last contact
    std::int16_t GreyAutoWL = 0;
    std::int16_t MBFF = 0;
};

}  // namespace bw
