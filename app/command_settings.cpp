#include "app/command_settings.h"

namespace bw {

CommandSettings::CommandSettings(const std::string& commandLine, ServiceControl& service) {
    platform.service = &service;
    platform.machineSettings = &machineStore;
    platform.userSettings = &userStore;
    installation.useUserHive = ChoosesUserHive(platform.ExeFolderOrReal(), commandLine);
}

}  // namespace bw
