// The delivery against hostile SMTP servers on 127.0.0.1, on the real clock.
//
//   hostile_server_bench [pairs=5] [seconds=100]
//
// For each server behaviour the real daemon (build/bwtarnout, an installation
// of its own with a database on the private MariaDB) delivers `pairs` queue
// pairs of 100 KB for at most `seconds` after its first scan. Printed per behaviour:
// connections, complete copies of a body the server got, where the pairs are
// at the end (trash, BAD, queue), the wall time and the daemon's peak RSS.
// Behaviours:
//   silent   accepts and never says a word
//   reset    resets the connection (RST) after 10 KB of the body
//   huge     every reply is 1 MB long (a multi-line reply of 1,000-byte lines)
//   flood    answers the end of data with 8 MB without a line end, then closes
//   ahead    answers MAIL FROM, RCPT TO and DATA together, ahead of the commands
//   bytewise sends every reply one byte at a time, 1 ms apart
//   took4xx  takes the body, then answers it with "451 4.3.0 try later"
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/installation.h"
#include "tests/support/peer_connection.h"

namespace {

using bw::test::Installation;
using bw::test::PeerConnection;

class HostileServer {
  public:
    explicit HostileServer(std::string mode) : mode_(std::move(mode)) {
        fd_ = bw::test::ListenOnLoopback(port_);
        accept_ = std::thread([this] { AcceptLoop(); });
    }
    ~HostileServer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        accept_.join();
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& t : threads_) t.join();
    }
    int Port() const { return port_; }
    int Connections() const { return connections_; }
    int Copies() const { return copies_; }

  private:
    void AcceptLoop() {
        while (!stop_) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (stop_) return;
                continue;
            }
            ++connections_;
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::lock_guard<std::mutex> lock(mu_);
            threads_.emplace_back([this, c] {
                PeerConnection conn(c, stop_);
                Serve(conn);
            });
        }
    }

    bool Put(PeerConnection& c, const std::string& s) {
        if (mode_ != "bytewise") return c.Write(s);
        for (char ch : s) {
            if (!c.Write(std::string(1, ch))) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    std::string Reply(const std::string& code, const std::string& text) {
        if (mode_ != "huge") return code + " " + text + "\r\n";
        std::string r;
        const std::string line = code + "-" + std::string(996, 'h') + "\r\n";
        while (r.size() < (1 << 20)) r += line;
        return r + code + " " + text + "\r\n";
    }
    // Takes the body; "reset" resets the connection (RST) after 10 KB of it.
    bool TakeBody(PeerConnection& c) {
        std::uint64_t bytes = 0;
        if (c.ReadBody(bytes, nullptr, mode_ == "reset" ? 10000 : UINT64_MAX)) return true;
        linger l{1, 0};
        ::setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        return false;
    }

    void Serve(PeerConnection& c) {
        std::string line;
        if (mode_ == "silent") {
            while (c.ReadLine(line)) {
            }
            return;
        }
        if (!Put(c, Reply("220", "hostile ready"))) return;
        const bool ahead = mode_ == "ahead";
        while (c.ReadLine(line)) {
            const std::string verb = line.substr(0, 4);
            if (verb == "HELO" || verb == "EHLO") {
                if (!Put(c,
                         ahead ? "250 hi\r\n250 ok\r\n250 ok\r\n354 go\r\n" : Reply("250", "hi")))
                    return;
            } else if (verb == "MAIL" || verb == "RCPT") {
                if (!ahead && !Put(c, Reply("250", "ok"))) return;
            } else if (verb == "DATA") {
                if (!ahead && !Put(c, Reply("354", "go"))) return;
                if (!TakeBody(c)) return;
                ++copies_;
                if (mode_ == "flood") {
                    Put(c, "250 " + std::string(8 << 20, 'f'));
                    return;
                }
                if (!Put(c, mode_ == "took4xx" ? Reply("451", "4.3.0 try later")
                                               : Reply("250", "queued"))) {
                    return;
                }
            } else if (verb == "QUIT") {
                Put(c, Reply("221", "bye"));
                return;
            }
        }
    }

    std::string mode_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> copies_{0};
    std::thread accept_;
    std::mutex mu_;
    std::vector<std::thread> threads_;
};

/// One behaviour: the daemon runs until its Inbox is empty or the time is up.
void RunMode(const char* mode, int pairs, int seconds) {
    HostileServer server(mode);
    Installation inst(server.Port(), {.tarnId = "BENCH", .serverValues = {}});
    std::string body = "Subject: hostile\r\n\r\n";
    while (body.size() < 100 * 1024) body += std::string(78, 'b') + "\r\n";
    for (int i = 0; i < pairs; ++i) {
        inst.Queue("Inbox/", "H" + std::to_string(i),
                   bw::test::Envelope("sender@ext.example", {"rcpt@corp.example"}), body);
    }
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(static_cast<long>(
                                      (seconds + bw::test::kFirstScanSeconds) * 1000));
    inst.Start();
    while (inst.Files("Inbox/", ".dat") > 0 && inst.Running() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() -
        bw::test::kFirstScanSeconds;
    inst.Terminate();
    std::printf("%-9s %5d %6d %6d %6d %4d %6d %8.1f %6ld KB\n", mode, pairs, server.Connections(),
                server.Copies(), inst.Files("Trash/", ".dat"), inst.Files("Inbox/BAD/", ".dat"),
                inst.Files("Inbox/", ".dat"), wall, inst.MaxRssKb());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 5;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 100;
    std::printf("%-9s %5s %6s %6s %6s %4s %6s %8s %9s\n", "server", "pairs", "conns", "copies",
                "trash", "bad", "queued", "seconds", "peak RSS");
    for (const char* mode : {"silent", "reset", "huge", "flood", "ahead", "bytewise", "took4xx"}) {
        RunMode(mode, pairs, seconds);
    }
    return 0;
}
