#include "host/host_platform.h"

#include <unistd.h>

#include "host/globals.h"
#include "platform/process.h"
#include "platform/service.h"

namespace bw {

HostPlatform& HP() {
    static HostPlatform hp;
    return hp;
}

void FatalStartupError(const std::string& text, int status) {
    if (G().service != nullptr) G().service->LogEvent(4, 110, text);
    if (HP().process != nullptr) HP().process->EndNow(status);
    ::_exit(status);
}

}  // namespace bw
