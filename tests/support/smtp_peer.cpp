#include "tests/support/smtp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace bw::test {

// One accepted connection: blocking reads with a short time-out so that Stop()
// is seen, and a line reader on top.
class SmtpPeer::Conn {
  public:
    Conn(int fd, std::atomic<bool>& stop) : fd_(fd), stop_(stop) {
        timeval tv{0, 100 * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Conn() { Close(); }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool Write(const std::string& s) {
        std::size_t done = 0;
        while (done < s.size() && fd_ >= 0) {
            const ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return done == s.size();
    }
    /// Fills the buffer; false when the peer closed or the test stopped.
    bool Fill() {
        char tmp[64 * 1024];
        while (!stop_.load()) {
            if (fd_ < 0) return false;
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
    /// Next line without its CR LF.
    bool ReadLine(std::string& line) {
        bool whole = true;
        return ReadLinePart(line, std::string::npos, whole);
    }
    /// Like ReadLine, but a line longer than `max` comes back in parts;
    /// `whole` is false on every part but the last.
    bool ReadLinePart(std::string& line, std::size_t max, bool& whole) {
        while (true) {
            const auto pos = buf_.find("\r\n", scan_ > head_ ? scan_ : head_);
            if (pos != std::string::npos) {
                line.assign(buf_, head_, pos - head_);
                head_ = pos + 2;
                scan_ = head_;
                whole = true;
                return true;
            }
            if (buf_.size() - head_ > max) {
                // The last byte stays: it may be the CR of a CR LF.
                const std::size_t take = buf_.size() - head_ - 1;
                line.assign(buf_, head_, take);
                head_ += take;
                scan_ = head_;
                Compact();
                whole = false;
                return true;
            }
            scan_ = buf_.size() > head_ ? buf_.size() - 1 : head_;
            Compact();
            if (!Fill()) return false;
        }
    }
    /// Takes whatever is buffered (or reads some more).
    std::size_t TakeSome() {
        if (buf_.size() == head_ && !Fill()) return 0;
        const std::size_t n = buf_.size() - head_;
        buf_.clear();
        head_ = scan_ = 0;
        return n;
    }

  private:
    int fd_;
    std::atomic<bool>& stop_;
    void Compact() {
        if (head_ == 0) return;
        buf_.erase(0, head_);
        scan_ -= head_;
        head_ = 0;
    }

    std::string buf_;
    std::size_t head_ = 0;  // start of the unread part
    std::size_t scan_ = 0;  // where the search for CR LF goes on
};

SmtpPeer::SmtpPeer() = default;

SmtpPeer::~SmtpPeer() {
    Stop();
}

SmtpPeer& SmtpPeer::Add(Step::Kind kind, const std::string& text, std::size_t bytes) {
    script_.push_back({kind, text, bytes});
    return *this;
}

void SmtpPeer::Start(bool acceptConnections) {
    accept_ = acceptConnections;
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        Record(errors_, std::string("cannot listen: ") + std::strerror(errno));
        return;
    }
    port_ = ntohs(a.sin_port);
    if (accept_) acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void SmtpPeer::Stop() {
    stop_ = true;
    cv_.notify_all();
    if (acceptThread_.joinable()) acceptThread_.join();
    for (auto& t : connThreads_) {
        if (t.joinable()) t.join();
    }
    connThreads_.clear();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

void SmtpPeer::Release() {
    std::lock_guard<std::mutex> lock(mu_);
    ++releases_;
    cv_.notify_all();
}

std::vector<std::string> SmtpPeer::Copy(const std::vector<std::string>& list) const {
    std::lock_guard<std::mutex> lock(mu_);
    return list;
}

void SmtpPeer::Record(std::vector<std::string>& list, const std::string& s) {
    std::lock_guard<std::mutex> lock(mu_);
    list.push_back(s);
}

void SmtpPeer::AcceptLoop() {
    while (!stop_.load()) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        connThreads_.emplace_back([this, fd] { Serve(fd); });
    }
}

void SmtpPeer::Serve(int fd) {
    Conn c(fd, stop_);
    script_.empty() ? RunSink(c) : RunScript(c);
}

namespace {
bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() &&
           ::strncasecmp(s.c_str(), prefix.c_str(), prefix.size()) == 0;
}
}  // namespace

void SmtpPeer::RunScript(Conn& c) {
    int releasesSeen = 0;
    for (const Step& step : script_) {
        if (stop_.load()) return;
        switch (step.kind) {
            case Step::kSend:
                c.Write(step.text);
                break;
            case Step::kExpect: {
                std::string line;
                if (!c.ReadLine(line)) {
                    Record(errors_, "expected " + step.text + ", connection ended");
                    return;
                }
                Record(commands_, line);
                if (!StartsWithNoCase(line, step.text)) {
                    Record(errors_, "expected " + step.text + ", got " + line);
                }
                break;
            }
            case Step::kBody: {
                std::string body;
                std::string line;
                while (c.ReadLine(line)) {
                    body.append(line).append("\r\n");
                    if (line == ".") break;
                }
                bodyBytes_ += body.size();
                Record(bodies_, body);
                break;
            }
            case Step::kBodyBytes: {
                std::size_t got = 0;
                while (got < step.bytes) {
                    const std::size_t n = c.TakeSome();
                    if (n == 0) break;
                    got += n;
                }
                bodyBytes_ += got;
                break;
            }
            case Step::kPause: {
                std::unique_lock<std::mutex> lock(mu_);
                ++releasesSeen;
                cv_.wait(lock, [&] { return stop_.load() || releases_ >= releasesSeen; });
                break;
            }
            case Step::kDrop:
                c.Close();
                return;
            case Step::kHold: {
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait(lock, [&] { return stop_.load(); });
                return;
            }
            case Step::kDrain:
                while (c.TakeSome() > 0) {
                }
                return;
        }
    }
    // End of script: wait for the client to close (or the test to stop).
    while (c.TakeSome() > 0) {
    }
}

void SmtpPeer::RunSink(Conn& c) {
    c.Write("220 sink ESMTP ready\r\n");
    std::string line;
    while (c.ReadLine(line)) {
        if (!keepBodies_ && line.empty()) continue;
        Record(commands_, line);
        if (StartsWithNoCase(line, "DATA")) {
            c.Write("354 go ahead\r\n");
            const auto started = std::chrono::steady_clock::now();
            std::string body;
            std::uint64_t bytes = 0;
            // Long lines are taken in parts, so the sink's memory stays flat.
            bool whole = true;
            bool inLine = false;
            while (c.ReadLinePart(line, 1 << 20, whole)) {
                bytes += line.size() + (whole ? 2 : 0);
                if (keepBodies_) body.append(line).append(whole ? "\r\n" : "");
                if (whole && !inLine && line == ".") break;
                inLine = !whole;
            }
            lastBodySeconds_ =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            bodyBytes_ += bytes;
            if (keepBodies_) Record(bodies_, body);
            ++messages_;
            c.Write("250 queued\r\n");
        } else if (StartsWithNoCase(line, "QUIT")) {
            c.Write("221 bye\r\n");
            return;
        } else {
            c.Write("250 ok\r\n");
        }
    }
}

}  // namespace bw::test
