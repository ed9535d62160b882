#include "platform/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "platform/safe_open.h"

namespace bw {

namespace {

constexpr std::size_t kMaxSecret = 4096;

// "0644" for the permission bits of `mode`.
std::string Octal(mode_t mode) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mode & 07777));
    return text.data();
}

}  // namespace

std::string ReadSecretFile(const std::string& path, std::string& secret) {
    ErrorState err;
    const int fd = OpenRegularFile(AT_FDCWD, path, O_RDONLY, 0, err);
    if (fd < 0) return err.description;
    struct stat st {};
    std::string problem;
    std::string text(kMaxSecret, '\0');
    ssize_t n = 0;
    if (::fstat(fd, &st) != 0) {
        problem = "cannot be examined";
    } else if ((st.st_mode & 077) != 0) {
        problem = "open to others (mode " + Octal(st.st_mode) + "; allowed: 0600 or 0400)";
    } else if ((n = ::read(fd, text.data(), text.size())) < 0) {
        problem = "cannot be read";
    }
    ::close(fd);
    if (!problem.empty()) return problem;
    text.resize(static_cast<std::size_t>(n));
    secret = text.substr(0, text.find_first_of("\r\n"));
    if (secret.empty()) return "empty (the secret is its first line)";
    return "";
}

}  // namespace bw
