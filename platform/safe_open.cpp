#include "platform/safe_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bw {

const char* UnusableKind(const struct stat& st, bool oneLink) {
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (S_ISDIR(st.st_mode)) return "a folder";
    if (S_ISFIFO(st.st_mode)) return "a pipe (FIFO)";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (oneLink && st.st_nlink != 1) return "a hard link (more than one name)";
    return nullptr;
}

int OpenRegularFile(int dirFd, const std::string& name, int flags, mode_t mode, ErrorState& err,
                    bool oneLink) {
    // Looked at first, so a device or pipe in its place is never opened at all.
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (const char* kind = UnusableKind(st, false)) {
            err.Raise(kUnsafeFile, kind);
            return -1;
        }
    } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
        err.Raise(errno, std::strerror(errno));
        return -1;
    }
    const int fd =
        ::openat(dirFd, name.c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        // ELOOP: a link; ENXIO: a pipe without a reader; both put there since the look.
        if (errno == ELOOP) {
            err.Raise(kUnsafeFile, "a symbolic link");
        } else if (errno == ENXIO) {
            err.Raise(kUnsafeFile, "a pipe (FIFO)");
        } else {
            err.Raise(errno, std::strerror(errno));
        }
        return -1;
    }
    if (::fstat(fd, &st) != 0) {
        err.Raise(errno, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    if (const char* kind = UnusableKind(st, oneLink)) {
        err.Raise(kUnsafeFile, kind);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace bw
