// The "carry on after error" state of a handler: each fallible platform or
// database operation reports into one of these instead of throwing. The first
// failure is kept until the owner clears it; later failures do not overwrite it.
#pragma once

#include <string>
#include <utility>

namespace bw {

struct ErrorState {
    long number = 0;
    std::string description;

    /// Records a failure unless one is already held.
    void Raise(long errNumber, std::string errDescription) {
        if (number != 0) return;
        number = errNumber != 0 ? errNumber : -1;
        description = std::move(errDescription);
    }
    void Clear() {
        number = 0;
        description.clear();
    }
    bool Failed() const { return number != 0; }
};

}  // namespace bw
