// The platform parts that only the host uses: the two settings stores, the
// desktop, the single-instance lock, ending the process, and the folder of the
// program's own executable. main() plugs in the real ones; tests plug in fakes.
// Not owned.
#pragma once

#include <string>

#include "host/exit_status.h"

namespace bw {

class SettingsStore;
class Desktop;
class InstanceLock;
class ProcessControl;

struct HostPlatform {
    SettingsStore* machineSettings = nullptr;
    SettingsStore* userSettings = nullptr;
    Desktop* desktop = nullptr;
    InstanceLock* instanceLock = nullptr;
    ProcessControl* process = nullptr;
    std::string exeFolder;  // without a trailing "/"; empty: the real one
};

HostPlatform& HP();

/// Writes the fatal event-log entry (type 4, id 110) and ends the process
/// with `status` (host/exit_status.h).
[[noreturn]] void FatalStartupError(const std::string& text, int status = kExitFailure);

}  // namespace bw
