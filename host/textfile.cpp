#include "host/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace bw {

namespace {

/// The whole content of a regular file. Anything else (a folder, a pipe, a
/// device) is no text file: reading a folder fails, and a pipe without a
/// writer would block the daemon for ever.
bool ReadRegularFile(const std::string& path, std::string& data) {
    data.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buf[65536];
    while (ok) {
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

}  // namespace

std::vector<std::string> SplitTextLines(const std::string& data, bool bLfEndsLine) {
    std::vector<std::string> lines;
    std::string cur;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '\r') {
            if (i + 1 < data.size() && data[i + 1] == '\n') ++i;
            lines.push_back(cur);
            cur.clear();
        } else if (c == '\n' && bLfEndsLine) {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

bool ReadTextLines(const std::string& path, std::vector<std::string>& lines, bool bLfEndsLine) {
    std::string data;
    const bool ok = ReadRegularFile(path, data);
    lines = SplitTextLines(data, bLfEndsLine);
    return ok;
}

std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
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
