// The settings store as a command run by hand reads it (`--init`, the queue
// view and the queue commands): the machine-wide and per-user stores, the
// host platform they hang on, and the installation whose store the command
// line chooses, as the start-up chooses it (the per-user store where the
// program is run from a user's folder).
// DIAGNOSTICS: none here; the stores report on the given event log.
#pragma once

#include <string>

#include "host/host_platform.h"
#include "host/installation.h"
#include "host/settings.h"
#include "platform/settings_store.h"

namespace bw {

class ServiceControl;

struct CommandSettings {
    CommandSettings(const std::string& commandLine, ServiceControl& service);
    CommandSettings(const CommandSettings&) = delete;
    CommandSettings& operator=(const CommandSettings&) = delete;

    /// The store the installation's settings are in.
    std::string StorePath() const {
        return installation.useUserHive ? UserRegistryPath() : MachineRegistryPath();
    }

    RegFileStore machineStore{MachineRegistryPath()};
    RegFileStore userStore{UserRegistryPath()};
    HostPlatform platform;
    Installation installation;
    const Settings settings{platform, installation};  // reads both on every call
};

}  // namespace bw
