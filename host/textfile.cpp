#include "host/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/ascii_text.h"

namespace bw {

namespace {

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a pipe (FIFO)";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

}  // namespace

SettingsFiles::SettingsFiles(const std::string& appPath, const std::string& accPath, EventLog log)
    : appPath_(appPath), accPath_(accPath), log_(std::move(log)) {}

void SettingsFiles::ReportProblem(const std::string& path, const std::string& why) {
    if (!reported_.insert(path + '\0' + why).second) return;
    if (log_) log_(path + ": " + why + "; not used");
}

void SettingsFiles::ForgetProblem(const std::string& path) {
    const std::string key = path + '\0';
    for (auto it = reported_.lower_bound(key); it != reported_.end() && it->rfind(key, 0) == 0;) {
        it = reported_.erase(it);
    }
}

bool SettingsFiles::BelowAccountFolder(const std::string& path) const {
    const auto below = [&path](const std::string& folder) {
        return !folder.empty() && folder.back() == '/' && path.size() > folder.size() &&
               path.compare(0, folder.size(), folder) == 0;
    };
    return below(accPath_) || (!appPath_.empty() && below(appPath_ + "TarnIN/"));
}

int SettingsFiles::Open(const std::string& path, int flags) {
    // Non-blocking: opening a pipe without a writer (or a device) would
    // otherwise wait for ever, deaf to the stop signal.
    int openFlags = flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (BelowAccountFolder(path)) openFlags |= O_NOFOLLOW;
    const int fd = ::open(path.c_str(), openFlags, 0644);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        if (err == ELOOP && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            ReportProblem(path, "a symbolic link below the account folder");
        } else if (err == ENXIO && ::stat(path.c_str(), &st) == 0) {
            ReportProblem(path, KindOf(st.st_mode));  // a pipe without a reader
        } else if (err != ENOENT || (flags & O_CREAT) != 0) {
            ReportProblem(path, std::strerror(err));
        }
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ReportProblem(path, KindOf(st.st_mode));
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ForgetProblem(path);
    return fd;
}

bool SettingsFiles::Read(const std::string& path, std::string& data) {
    data.clear();
    const int fd = Open(path, O_RDONLY);
    if (fd < 0) return false;
    bool ok = true;
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

std::vector<std::string> SplitTextLines(const std::string& data, bool lfEndsLine) {
    std::vector<std::string> lines;
    std::string cur;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '\r') {
            if (i + 1 < data.size() && data[i + 1] == '\n') ++i;
            lines.push_back(cur);
            cur.clear();
        } else if (c == '\n' && lfEndsLine) {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

bool SettingsFiles::ReadLines(const std::string& path, std::vector<std::string>& lines,
                              bool lfEndsLine) {
    std::string data;
    const bool ok = Read(path, data);
    // A file where a lone LF stays inside its line (an INI file) but that
    // holds no CR at all was written with a Linux editor: its LFs end its
    // lines, or it would read as one line and none of its settings be found.
    const bool lfOnly = data.find('\r') == std::string::npos;
    lines = SplitTextLines(data, lfEndsLine || lfOnly);
    return ok;
}

std::string LTrimBlanks(const std::string& s) {
    const std::size_t b = s.find_first_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b);
}

std::string TrimBlanks(const std::string& s) {
    const std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    const std::size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (prefix.size() > text.size()) return false;
    return UpperAscii(text.substr(0, prefix.size())) == UpperAscii(prefix);
}

}  // namespace bw
