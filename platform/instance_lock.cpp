#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace bw {

FlockInstanceLock::~FlockInstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool FlockInstanceLock::TryAcquire() {
    if (fd_ >= 0) return true;
    const char* env = std::getenv("BW_RUN_DIR");
    const std::string dirs[] = {env != nullptr && *env != '\0' ? env : "/run/lock", "/tmp"};
    for (const std::string& dir : dirs) {
        file_ = dir + "/BWTarnOUT.lock";
        const int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) continue;  // folder missing or not writable: try the fallback
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return true;
        }
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) return false;  // another instance holds it
    }
    // No folder could take the lock file at all: better to run than to refuse.
    return true;
}

}  // namespace bw
