#include "platform/greeting_probe.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace bw {

namespace {

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point end) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A connected socket to one of `ai`'s addresses, or -1 with `why`.
int ConnectOne(const addrinfo* ai, SteadyClock::time_point end, std::string& why) {
    const int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
        why = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    if (::poll(&p, 1, MsLeft(end)) != 1) {
        why = "no connection within the time limit";
    } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        why = std::strerror(error != 0 ? error : errno);
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

}  // namespace

GreetingProbe ProbeGreeting(const std::string& host, std::int32_t port, int seconds) {
    const SteadyClock::time_point end = SteadyClock::now() + std::chrono::seconds(seconds);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) return {false, std::string("host not found: ") + ::gai_strerror(rc)};
    std::string why = "no address";
    int fd = -1;
    for (const addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = ConnectOne(ai, end, why);
    }
    ::freeaddrinfo(found);
    if (fd < 0) return {false, "cannot connect: " + why};
    std::string text;
    char buf[512];
    while (text.find('\n') == std::string::npos && text.size() < 512) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(end)) != 1) break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const std::size_t eol = text.find_first_of("\r\n");
    if (eol == std::string::npos) {
        return {false, text.empty()
                           ? "connected, but no greeting within " + std::to_string(seconds) + " s"
                           : "a greeting without a line end: " + text.substr(0, 80)};
    }
    return {true, text.substr(0, eol)};
}

}  // namespace bw
