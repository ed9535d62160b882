// A claimed queue pair: where it lies, its base name, and its two files held
// open (and locked) from the claim until the pair is filed or released.
// DIAGNOSTICS: none; Release(files) closes what is open and never fails.
#pragma once

#include <cstdint>
#include <string>

#include "platform/queue_files.h"

namespace bw {

struct QueuePair {
    std::string accPath;  // the account folder, ending in "/"
    std::string folder;   // "Inbox/" or "Outbox/"
    std::string name;     // base name, without ".dat" / ".msg"
    std::int16_t datFile = 0;
    std::int16_t msgFile = 0;

    std::string QueuePath() const { return accPath + folder; }
    bool Open() const { return datFile != 0 && msgFile != 0; }
    /// Closes both files (the claim ends) and forgets their numbers.
    void Release(QueueFiles& files) {
        files.CloseFileNo(datFile);
        files.CloseFileNo(msgFile);
        datFile = 0;
        msgFile = 0;
    }
};

}  // namespace bw
