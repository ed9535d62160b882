#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/run_paths.h"
#include "platform/safe_open.h"

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
    ErrorState open;
    const int fd = OpenRegularFile(AT_FDCWD, file_, O_RDWR | O_CREAT, 0644, open);
    if (fd < 0) return failed(open.description);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) return Result::kHeldByOther;
        return failed(std::strerror(err));
    }
    fd_ = fd;
    return Result::kAcquired;
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool FolderLock::Take(const std::string& folder, const std::string& holder, std::string& reason) {
    if (fd_ >= 0) return true;
    const std::string file = folder + "/lock";
    // The default folder lies one below /var/lib/bwtarnout, which a daemon
    // started by hand may be the first to need.
    if (const auto slash = folder.find_last_of('/'); slash != std::string::npos && slash > 0) {
        ::mkdir(folder.substr(0, slash).c_str(), 0755);  // an error shows at the folder itself
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        reason = "cannot make the folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    ErrorState open;
    const int fd = OpenRegularFile(AT_FDCWD, file, O_RDWR | O_CREAT, 0600, open);
    if (fd < 0) {
        reason = "cannot lock " + file + ": " + open.description;
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        char text[512] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        std::string other = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "";
        while (!other.empty() && (other.back() == '\n' || other.back() == '\r')) other.pop_back();
        reason = err == EWOULDBLOCK
                     ? "the folder " + folder + " is in use by another daemon (" +
                           (other.empty() ? std::string("holder unknown") : other) + ")"
                     : "cannot lock " + file + ": " + std::strerror(err);
        return false;
    }
    const std::string text = holder + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) < 0) {
        // The lock holds all the same; only the name for others is missing.
    }
    fd_ = fd;
    return true;
}

}  // namespace bw
