// What the kernel says about this process, for the metrics: its start time,
// CPU seconds, resident and virtual memory, and open and allowed file
// descriptors, read from /proc/self at each call.
// DIAGNOSTICS: none; a value that cannot be read is left at -1.
#pragma once

namespace bw {

struct ProcessStats {
    double startTimeSeconds = -1;  // since the epoch
    double cpuSeconds = -1;        // user and system
    double residentBytes = -1;
    double virtualBytes = -1;
    double openFds = -1;
    double maxFds = -1;
};

ProcessStats ReadProcessStats();

}  // namespace bw
