#include "tests/support/peer_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace bw::test {

int ListenOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, 64) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

PeerConnection::PeerConnection(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {
    timeval tv{0, 100 * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

PeerConnection::~PeerConnection() {
    ::close(fd_);
}

bool PeerConnection::Write(const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return done == s.size();
}

bool PeerConnection::Fill() {
    char tmp[64 * 1024];
    while (!stop_.load()) {
        const ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n > 0) {
            buf_.append(tmp, static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0) return false;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    }
    return false;
}

bool PeerConnection::ReadLine(std::string& line, std::size_t max, bool* whole) {
    while (true) {
        const auto pos = buf_.find("\r\n", scan_ > head_ ? scan_ : head_);
        if (pos != std::string::npos) {
            line.assign(buf_, head_, pos - head_);
            head_ = pos + 2;
            scan_ = head_;
            if (whole != nullptr) *whole = true;
            return true;
        }
        if (buf_.size() - head_ > max) {
            // The last byte stays: it may be the CR of a CR LF.
            const std::size_t take = buf_.size() - head_ - 1;
            line.assign(buf_, head_, take);
            head_ += take;
            scan_ = head_;
            Compact();
            if (whole != nullptr) *whole = false;
            return true;
        }
        scan_ = buf_.size() > head_ ? buf_.size() - 1 : head_;
        Compact();
        if (!Fill()) return false;
    }
}

bool PeerConnection::ReadBody(std::uint64_t& bytes, std::string* keep, std::uint64_t limit) {
    std::string line;
    bool whole = true;
    bool inLine = false;
    while (bytes < limit && ReadLine(line, 1 << 20, &whole)) {
        bytes += line.size() + (whole ? 2 : 0);
        if (keep != nullptr) keep->append(line).append(whole ? "\r\n" : "");
        if (whole && !inLine && line == ".") return true;
        inLine = !whole;
    }
    return false;
}

std::size_t PeerConnection::TakeSome() {
    if (buf_.size() == head_ && !Fill()) return 0;
    const std::size_t n = buf_.size() - head_;
    buf_.clear();
    head_ = scan_ = 0;
    return n;
}

void PeerConnection::Compact() {
    if (head_ == 0) return;
    buf_.erase(0, head_);
    scan_ -= head_;
    head_ = 0;
}

}  // namespace bw::test
