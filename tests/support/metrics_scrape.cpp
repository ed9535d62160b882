#include "tests/support/metrics_scrape.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "tests/support/peer_connection.h"

namespace bw::test {

std::string HttpGet(int port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
        const std::string get = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, get.data(), get.size()) == static_cast<ssize_t>(get.size())) {
            char buf[16384];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, n);
        }
    }
    ::close(fd);
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
