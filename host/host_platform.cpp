#include "host/host_platform.h"

#include <unistd.h>

#include "host/paths.h"
#include "platform/process.h"
#include "platform/service.h"

namespace bw {

std::string HostPlatform::ExeFolderOrReal() const {
    return exeFolder.empty() ? ExeFolder() : exeFolder;
}

void FatalStartupError(const HostPlatform& hp, const std::string& text, int status) {
    if (hp.service != nullptr) hp.service->LogEvent(4, 110, text);
    if (hp.process != nullptr) hp.process->EndNow(status);
    ::_exit(status);
}

}  // namespace bw
