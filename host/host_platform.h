// The platform parts the host uses: the clock, the event loop, the service
// (event log), the two settings stores, the desktop, the single-instance
// lock, ending the process, and the folder of the program's own executable.
// main() plugs in the real ones; tests plug in fakes. Handed by reference;
// nothing here is owned.
#pragma once

#include <string>

#include "host/exit_status.h"

namespace bw {

class Clock;
class Loop;
class ServiceControl;
class SettingsStore;
class Desktop;
class InstanceLock;
class ProcessControl;

struct HostPlatform {
    Clock* clock = nullptr;
    Loop* loop = nullptr;
    ServiceControl* service = nullptr;
    SettingsStore* machineSettings = nullptr;
    SettingsStore* userSettings = nullptr;
    Desktop* desktop = nullptr;
    InstanceLock* instanceLock = nullptr;
    ProcessControl* process = nullptr;
    std::string exeFolder;  // without a trailing "/"; empty: the real one

    /// exeFolder, or the real executable's folder when it is empty.
    std::string ExeFolderOrReal() const;
};

/// Writes the fatal event-log entry (type 4, id 110) and ends the process
/// with `status` (host/exit_status.h).
[[noreturn]] void FatalStartupError(const HostPlatform& hp, const std::string& text,
                                    int status = kExitFailure);

}  // namespace bw
