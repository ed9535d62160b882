#include "tests/support/metrics_scrape.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "tests/support/peer_connection.h"

namespace bw::test {

std::string HttpExchange(int port, const std::string& request, int waitMs) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);  // bounds connect, too
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buf[16384];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, n);
    }
    ::close(fd);
    return reply;
}

std::vector<int> HoldConnections(int port, int n, const std::string& start) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> fds;
    std::vector<pollfd> waiting;
    for (int i = 0; i < n; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        fds.push_back(fd);
        waiting.push_back({fd, POLLOUT, 0});
    }
    // All at once, so a server that takes none costs 2 s, not 2 s each.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!waiting.empty() && std::chrono::steady_clock::now() < deadline) {
        ::poll(waiting.data(), waiting.size(), 50);
        std::erase_if(waiting, [](const pollfd& p) { return p.revents != 0; });
    }
    for (int& fd : fds) {
        int error = 0;
        socklen_t len = sizeof error;
        const bool pending = std::any_of(waiting.begin(), waiting.end(),
                                         [fd](const pollfd& p) { return p.fd == fd; });
        if (pending || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0 ||
            (!start.empty() && ::send(fd, start.data(), start.size(), MSG_NOSIGNAL) <= 0)) {
            ::close(fd);
            fd = -1;
        }
    }
    return fds;
}

bool ClosedByServer(int fd) {
    char c = 0;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

std::string HttpGet(int port, const std::string& path) {
    const std::string reply =
        HttpExchange(port, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const std::size_t body = reply.find("\r\n\r\n");
    if (reply.rfind("HTTP/1.1 200", 0) != 0 || body == std::string::npos) return "";
    return reply.substr(body + 4);
}

std::string MetricSample(const std::string& scrape, const std::string& series) {
    const std::string text = "\n" + scrape;
    const std::size_t at = text.find("\n" + series + " ");
    if (at == std::string::npos) return "";
    const std::size_t begin = at + series.size() + 2;
    return text.substr(begin, text.find('\n', begin) - begin);
}

int FreeLoopbackPort() {
    int port = 0;
    const int fd = ListenOnLoopback(port);
    if (fd >= 0) ::close(fd);
    return port;
}

}  // namespace bw::test
