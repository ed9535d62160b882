#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/run_paths.h"

namespace bw {

FlockInstanceLock::~FlockInstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

InstanceLock::Result FlockInstanceLock::TryAcquire(std::string& reason) {
    if (fd_ >= 0) return Result::kAcquired;
    const std::string dir = RunDir();
    file_ = dir + "/BWTarnOUT.lock";
    const auto failed = [&](const std::string& why) {
        reason = "cannot take the single-instance lock " + file_ + ": " + why;
        return Result::kFailed;
    };
    // Started by hand, the run folder may not exist yet (systemd makes it).
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return failed(std::string("cannot make the folder: ") + std::strerror(errno));
    }
    const int fd =
        ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) return failed(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return failed("not a regular file");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) return Result::kHeldByOther;
        return failed(std::strerror(err));
    }
    fd_ = fd;
    return Result::kAcquired;
}

}  // namespace bw
