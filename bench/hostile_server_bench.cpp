// The delivery against hostile SMTP servers on 127.0.0.1, on the real clock.
//
//   hostile_server_bench [pairs=5] [seconds=100]
//
// For each server behaviour the daemon's loop and dispatcher (a child process
// started afresh, with a database of its own on the private MariaDB) deliver
// `pairs` queue pairs of 100 KB for at most `seconds`. Printed per behaviour:
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
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/connect_string.h"
#include "db/db_audit.h"
#include "db/health_check.h"
#include "db/shared_main.h"
#include "delivery/delivery.h"
#include "delivery/delivery_windows.h"
#include "host/globals.h"
#include "platform/clock.h"
#include "platform/db.h"
#include "platform/loop.h"
#include "platform/mariadb.h"
#include "platform/queue_files.h"
#include "platform/service.h"
#include "tests/support/mariadb_server.h"

namespace {

namespace fs = std::filesystem;
using namespace bw;

// ---- the hostile server ------------------------------------------------------------

class HostileServer {
  public:
    explicit HostileServer(std::string mode) : mode_(std::move(mode)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 64);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        accept_ = std::thread([this] { AcceptLoop(); });
    }
    ~HostileServer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        accept_.join();
        std::lock_guard<std::mutex> lock(mu_);
        for (int c : conns_) ::shutdown(c, SHUT_RDWR);
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
            conns_.push_back(c);
            threads_.emplace_back([this, c] {
                Serve(c);
                ::close(c);
            });
        }
    }

    bool Put(int c, const std::string& s) {
        if (mode_ == "bytewise") {
            for (char ch : s) {
                if (::send(c, &ch, 1, MSG_NOSIGNAL) != 1) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return true;
        }
        std::size_t off = 0;
        while (off < s.size()) {
            const ssize_t n = ::send(c, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += static_cast<std::size_t>(n);
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
    // Reads one command line; false when the connection ends.
    bool ReadLine(int c, std::string& buf, std::string& line) {
        while (true) {
            const auto eol = buf.find("\r\n");
            if (eol != std::string::npos) {
                line = buf.substr(0, eol);
                buf.erase(0, eol + 2);
                return true;
            }
            char tmp[65536];
            const ssize_t n = ::recv(c, tmp, sizeof tmp, 0);
            if (n <= 0) return false;
            buf.append(tmp, static_cast<std::size_t>(n));
        }
    }
    // Reads the body up to its end; `resetAfter` > 0: resets the connection
    // once that many bytes are in. False when the connection ends first.
    bool ReadBody(int c, std::string& buf, std::size_t resetAfter) {
        std::size_t seen = 0;
        std::string tail = "\r\n";
        while (true) {
            const auto end = (tail + buf).find("\r\n.\r\n");
            if (end != std::string::npos) {
                buf.erase(0, end + 5 - tail.size());
                return true;
            }
            seen += buf.size();
            const std::string joined = tail + buf;
            tail = joined.substr(joined.size() >= 4 ? joined.size() - 4 : 0);
            buf.clear();
            if (resetAfter > 0 && seen >= resetAfter) {
                linger l{1, 0};
                ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                return false;
            }
            char tmp[65536];
            const ssize_t n = ::recv(c, tmp, sizeof tmp, 0);
            if (n <= 0) return false;
            buf.append(tmp, static_cast<std::size_t>(n));
        }
    }

    void Serve(int c) {
        std::string buf;
        std::string line;
        if (mode_ == "silent") {
            while (ReadLine(c, buf, line)) {
            }
            return;
        }
        if (!Put(c, Reply("220", "hostile ready"))) return;
        while (ReadLine(c, buf, line)) {
            const std::string verb = line.substr(0, 4);
            if (verb == "HELO" || verb == "EHLO") {
                if (!Put(c, mode_ == "ahead" ? "250 hi\r\n250 ok\r\n250 ok\r\n354 go\r\n"
                                             : Reply("250", "hi"))) {
                    return;
                }
            } else if (verb == "MAIL" || verb == "RCPT") {
                if (mode_ != "ahead" && !Put(c, Reply("250", "ok"))) return;
            } else if (verb == "DATA") {
                if (mode_ != "ahead" && !Put(c, Reply("354", "go"))) return;
                if (!ReadBody(c, buf, mode_ == "reset" ? 10000 : 0)) return;
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
    std::vector<int> conns_;
    std::vector<std::thread> threads_;
};

// ---- the daemon side (child process) -------------------------------------------------

int CountDat(const std::string& folder) {
    int n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        n += it->path().extension() == ".dat" ? 1 : 0;
    }
    return n;
}

int RunDaemon(const std::string& appPath, int port, int seconds) {
    ResetGlobals();
    SystemClock clock;
    Loop loop(clock);
    auto& g = G();
    g.clock = &clock;
    g.loop = &loop;
    g.AppPath = appPath;
    g.AccPath = appPath + "TarnIN/";
    g.TarnID = "BENCH";
    g.iSMTPLog = -1;
    g.iUseTrash = -1;
    g.sForwardedList = "\t";
    g.aSMTPServers = {"127.0.0.1:" + std::to_string(port)};
    ::setenv("BW_STATE_DIR", (appPath + "state").c_str(), 1);
    MariaDbFactory factory;
    g.db.factory = &factory;
    g.db.connectStrings = {appPath + "exe", appPath};  // none beside: DBConnect.dat in AppPath
    g.audit = std::make_unique<DbAudit>(g.db, g.spool, clock, g.TarnID);
    FakeService events;
    HealthCheck health(g.db, g.spool, clock, events, {});
    health.tmrDBCheck_Timer();
    Timer dbCheck(loop, 1000, true, [&] { health.tmrDBCheck_Timer(); });
    g.tmrDBCheck = &dbCheck;
    SharedMainAudit audit;
    Timer queue(loop, 5000, true);
    Delivery delivery(
        clock, loop, nullptr, audit, appPath + "state/sent-pairs", g.iActiveTransfers,
        [] { return static_cast<bool>(G().db.conn); }, &queue);
    delivery.settings.appPath = appPath;
    delivery.settings.sessionLog = true;
    delivery.settings.forwardedList = "\t";
    delivery.settings.smtpServers = {"127.0.0.1:" + std::to_string(port)};
    queue.SetHandler([&] { delivery.dispatcher.tmrQueue_Timer(); });
    g.tmrQueue = &queue;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    Timer watch(loop, 200, true, [&] {
        const bool empty = CountDat(g.AccPath + "Inbox/") == 0 && g.iActiveTransfers == 0;
        if (empty || std::chrono::steady_clock::now() >= deadline) loop.Stop();
    });
    delivery.dispatcher.tmrQueue_Timer();
    loop.Run();
    delivery.dispatcher.Windows().DestroyAll();
    g.tmrQueue = nullptr;
    g.tmrDBCheck = nullptr;
    return 0;
}

struct ChildResult {
    double wallSeconds = 0;
    long maxRssKb = 0;
};

ChildResult InChild(const std::string& appPath, int port, int seconds) {
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/proc/self/exe", "hostile_server_bench", "--daemon", appPath.c_str(),
                std::to_string(port).c_str(), std::to_string(seconds).c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    ChildResult r;
    r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.maxRssKb = ru.ru_maxrss;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--daemon") {
        return RunDaemon(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 5;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 100;
    const int dbPort = bw::test::SharedDbPort();
    std::printf("%-9s %5s %6s %6s %6s %4s %6s %8s %9s\n", "server", "pairs", "conns", "copies",
                "trash", "bad", "queued", "seconds", "peak RSS");
    for (const char* mode : {"silent", "reset", "huge", "flood", "ahead", "bytewise", "took4xx"}) {
        char tmpl[] = "/tmp/bwhostile.XXXXXX";
        const std::string app = std::string(::mkdtemp(tmpl)) + "/";
        for (const char* d : {"TarnIN/Inbox", "TarnIN/Outbox", "TarnIN/Trash", "Logs", "exe"}) {
            fs::create_directories(app + d);
        }
        const std::string db = bw::test::CreateTestDatabase(dbPort);
        bw::test::Exec(dbPort, db, "INSERT INTO tbl_stats (tarnid) VALUES ('BENCH')");
        std::ofstream(app + "DBConnect.dat") << bw::test::ConnString(dbPort, db) << "\r\n";
        std::string body = "Subject: hostile\r\n\r\n";
        while (body.size() < 100 * 1024) body += std::string(78, 'b') + "\r\n";
        for (int i = 0; i < pairs; ++i) {
            const std::string base = app + "TarnIN/Inbox/H" + std::to_string(i);
            std::ofstream(base + ".msg", std::ios::binary) << "X-Queue: bench\r\n" << body;
            std::ofstream(base + ".dat", std::ios::binary)
                << "id\t127.0.0.1\tbench\r\nHELO bench.example\r\nsender@ext.example\r\n"
                   "rcpt@corp.example\r\n";
        }
        HostileServer server(mode);
        const ChildResult r = InChild(app, server.Port(), seconds);
        const int bad = CountDat(app + "TarnIN/Inbox/BAD/");
        const int queued = CountDat(app + "TarnIN/Inbox/");
        const int trash = CountDat(app + "TarnIN/Trash/");
        std::printf("%-9s %5d %6d %6d %6d %4d %6d %8.1f %6ld KB\n", mode, pairs,
                    server.Connections(), server.Copies(), trash, bad, queued, r.wallSeconds,
                    r.maxRssKb);
        std::error_code ec;
        fs::remove_all(app, ec);
        bw::test::DropTestDatabase(dbPort, db);
    }
    return 0;
}
