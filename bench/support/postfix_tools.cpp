#include "bench/support/postfix_tools.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/mariadb_server.h"

namespace bw::bench {
namespace {

constexpr const char* kSinkPath = "/usr/sbin/smtp-sink";
constexpr const char* kSourcePath = "/usr/sbin/smtp-source";

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

}  // namespace

bool Connects(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

void Exec(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
}

bool PostfixSink::Start() {
    if (::access(kSinkPath, X_OK) != 0) {
        std::fprintf(stderr, "%s is missing (scripts/bench-profiles installs it)\n", kSinkPath);
        return false;
    }
    port_ = test::FreeLocalPort();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args{kSinkPath, "-c"};
    // As root it must be told whom to run as once it listens.
    if (::geteuid() == 0) args.insert(args.end(), {"-u", "nobody"});
    args.insert(args.end(), {"127.0.0.1:" + std::to_string(port_), "256"});
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        Exec(args);
    }
    ::close(out[1]);
    reader_ = std::thread([this, fd = out[0]] { ReadCounters(fd); });
    for (int i = 0; i < 500; ++i) {
        if (Connects(port_)) return true;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) break;
        ::usleep(10000);
    }
    std::fprintf(stderr, "smtp-sink does not listen on 127.0.0.1:%d\n", port_);
    return false;
}

void PostfixSink::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
}

// The counters come as "sess=N quit=N mesg=N" lines ended by "\r", one per
// event, written as the event happens.
void PostfixSink::ReadCounters(int fd) {
    std::string pending;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const Clock::time_point now = Clock::now();
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
            const std::size_t at = pending.rfind("mesg=", end);
            if (at != std::string::npos) Counted(std::strtoull(&pending[at + 5], nullptr, 10), now);
            pending.erase(0, end + 1);
        }
    }
    ::close(fd);
}

void PostfixSink::Counted(std::uint64_t mesg, Clock::time_point when) {
    std::lock_guard<std::mutex> lock(mu_);
    while (arrivals_.size() < mesg) arrivals_.push_back(when);
    messages_ = arrivals_.size();
}

bool PostfixSink::WaitMessages(std::uint64_t count, double seconds,
                               const std::function<bool()>& alive) const {
    const Clock::time_point end =
        Clock::now() + std::chrono::microseconds(static_cast<long>(seconds * 1e6));
    while (Messages() < count) {
        if (Clock::now() > end || (alive && !alive())) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

double PostfixSink::Span(std::uint64_t first, std::uint64_t last) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (first < 1 || last > arrivals_.size() || first > last) return 0;
    return std::chrono::duration<double>(arrivals_[last - 1] - arrivals_[first - 1]).count();
}

ChildRun RunSmtpSource(int port, int sessions, int messages, int bytes, bool keepConnection) {
    ChildRun run;
    const Clock::time_point start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        std::vector<std::string> args{kSourcePath,
                                      "-s",
                                      std::to_string(sessions),
                                      "-m",
                                      std::to_string(messages),
                                      "-l",
                                      std::to_string(bytes),
                                      "-M",
                                      "bench.example",
                                      "-f",
                                      "sender@ext.example",
                                      "-t",
                                      "rcpt@corp.example",
                                      "127.0.0.1:" + std::to_string(port)};
        if (keepConnection) args.insert(args.begin() + 1, "-d");
        Exec(args);
    }
    int status = 0;
    rusage ru{};
    if (pid < 0 || ::wait4(pid, &status, 0, &ru) != pid) return run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.cpuSeconds = Seconds(ru.ru_utime) + Seconds(ru.ru_stime);
    run.maxRssKb = ru.ru_maxrss;
    return run;
}

}  // namespace bw::bench
