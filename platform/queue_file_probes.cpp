// Looks at queue files without opening them for reading: whether someone
// else holds one, how long ago one last changed (queue_files.h).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "platform/queue_files.h"

namespace bw {

bool LockedElsewhere(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // drops the shared lock, if it was taken
    return held;
}

long long SecondsSinceChange(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(::time(nullptr)) - static_cast<long long>(st.st_mtime);
}

}  // namespace bw
