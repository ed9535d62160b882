#include "tests/support/smtp_peer.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tests/support/peer_connection.h"

namespace bw::test {

SmtpPeer& SmtpPeer::Add(Step::Kind kind, const std::string& text, std::size_t bytes) {
    script_.push_back({kind, text, bytes});
    return *this;
}

void SmtpPeer::Start() {
    listenFd_ = ListenOnLoopback(port_);
    if (listenFd_ < 0) {
        Record(errors_, std::string("cannot listen: ") + std::strerror(errno));
        return;
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void SmtpPeer::Stop() {
    stop_ = true;
    cv_.notify_all();
    if (acceptThread_.joinable()) acceptThread_.join();
    for (auto& t : connThreads_) t.join();
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
        if (maxOpen_ > 0 && open_.load() >= maxOpen_) {
            static constexpr char kBusy[] = "421 4.7.0 too many connections\r\n";
            (void)::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL);
            ::close(fd);
            ++turnedAway_;
            continue;
        }
        ++open_;
        connThreads_.emplace_back([this, fd] {
            {
                PeerConnection c(fd, stop_);
                script_.empty() ? RunSink(c) : RunScript(c);
            }
            --open_;
        });
    }
}

namespace {
bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() &&
           ::strncasecmp(s.c_str(), prefix.c_str(), prefix.size()) == 0;
}
}  // namespace

void SmtpPeer::RunScript(PeerConnection& c) {
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
                std::uint64_t bytes = 0;
                c.ReadBody(bytes, &body);
                bodyBytes_ += bytes;
                Record(bodies_, body);
                break;
            }
            case Step::kBodyBytes: {
                std::uint64_t bytes = 0;
                c.ReadBody(bytes, nullptr, step.bytes);
                bodyBytes_ += bytes;
                break;
            }
            case Step::kPause: {
                std::unique_lock<std::mutex> lock(mu_);
                ++releasesSeen;
                cv_.wait(lock, [&] { return stop_.load() || releases_ >= releasesSeen; });
                break;
            }
            case Step::kDrop:
                return;
            case Step::kHold: {
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait(lock, [&] { return stop_.load(); });
                return;
            }
        }
    }
    // End of script: discard what comes until the client closes (or the test stops).
    while (c.TakeSome() > 0) {
    }
}

void SmtpPeer::RunSink(PeerConnection& c) {
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
            c.ReadBody(bytes, keepBodies_ ? &body : nullptr);
            lastBodySeconds_ =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            bodyBytes_ += bytes;
            if (keepBodies_) Record(bodies_, body);
            ++messages_;
            c.Write("250 queued\r\n");
        } else if (StartsWithNoCase(line, "QUIT")) {
            c.Write("221 bye\r\n");
            return;
        } else if (StartsWithNoCase(line, "EHLO")) {
            c.Write(ehloReply_);
        } else {
            c.Write("250 ok\r\n");
        }
    }
}

}  // namespace bw::test
