#include "bench/support/postfix_server.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/support/postfix_tools.h"
#include "tests/support/mariadb_server.h"

namespace bw::bench {
namespace {

constexpr const char* kPostfixPath = "/usr/sbin/postfix";

// Every service runs outside a chroot (the temporary folder holds none of the
// files one would need); "-" as the process limit is default_process_limit (100).
constexpr const char* kServices =
    "cleanup unix n - n - 0 cleanup\n"
    "qmgr unix n - n 300 1 qmgr\n"
    "rewrite unix - - n - - trivial-rewrite\n"
    "bounce unix - - n - 0 bounce\n"
    "defer unix - - n - 0 bounce\n"
    "trace unix - - n - 0 bounce\n"
    "flush unix n - n 1000? 0 flush\n"
    "error unix - - n - - error\n"
    "retry unix - - n - - error\n"
    "discard unix - - n - - discard\n"
    "anvil unix - - n - 1 anvil\n"
    "tlsmgr unix - - n 1000? 1 tlsmgr\n"
    "postlog unix-dgram n - n - 1 postlogd\n";

// Stops an instance left running when the bench is gone: it reads its
// standard input, a pipe the bench holds, which ends with the bench's exit of
// whatever kind; "stopped" on it first says the bench stopped Postfix itself.
// Otherwise a start may still be under way: it looks for a running instance
// for 10 s, stops it, and removes the temporary folder. $1: the configuration
// folder, $2: the temporary folder.
constexpr const char* kWatchdog =
    "read -r said\n"
    "[ \"$said\" = stopped ] && exit 0\n"
    "for try in 1 2 3 4 5 6 7 8 9 10; do\n"
    "  if /usr/sbin/postfix -c \"$1\" status >/dev/null 2>&1; then\n"
    "    /usr/sbin/postfix -c \"$1\" stop >/dev/null 2>&1 ||\n"
    "      /usr/sbin/postfix -c \"$1\" abort >/dev/null 2>&1\n"
    "    break\n"
    "  fi\n"
    "  sleep 1\n"
    "done\n"
    "rm -rf \"$2\"\n";

// Messages to any domain are relayed for 127.0.0.0/8 and discarded.
constexpr const char* kMainCf =
    "compatibility_level = 3.6\n"
    "myhostname = bench.localdomain\n"
    "mydomain = localdomain\n"
    "mydestination =\n"
    "local_recipient_maps =\n"
    "inet_interfaces = 127.0.0.1\n"
    "inet_protocols = ipv4\n"
    "mynetworks = 127.0.0.0/8\n"
    "smtpd_relay_restrictions = permit_mynetworks, reject\n"
    "smtpd_peername_lookup = no\n"
    "default_transport = discard\n"
    "relay_transport = discard\n"
    "local_transport = discard\n"
    "virtual_transport = discard\n"
    "smtp_dns_support_level = disabled\n"
    "smtp_host_lookup = native\n"
    "lmtp_host_lookup = native\n"
    "biff = no\n";

bool Write(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

std::string MainCf(const std::string& dir, const PostfixServer::Settings& settings) {
    std::string cf = kMainCf;
    const auto set = [&cf](const char* name, const std::string& value) {
        cf += std::string(name) + " = " + value + "\n";
    };
    set("queue_directory", dir + "/queue");
    set("data_directory", dir + "/data");
    set("maillog_file", dir + "/maillog");
    set("maillog_file_prefixes", dir);
    for (const auto& [name, value] : settings) set(name.c_str(), value);
    return cf;
}

}  // namespace

bool PostfixServer::WriteConfig(const Settings& settings) const {
    const std::string dir = dir_.Path();
    const passwd* owner = ::getpwnam("postfix");
    if (owner == nullptr) {
        std::fprintf(stderr, "there is no user \"postfix\" (is Postfix installed?)\n");
        return false;
    }
    // The daemons, unprivileged once started, look into the folder; its data
    // folder (master.lock) must be Postfix's own, the rest root's.
    if (::chmod(dir.c_str(), 0755) != 0 || ::mkdir(Etc().c_str(), 0755) != 0 ||
        ::mkdir((dir + "/queue").c_str(), 0755) != 0 ||
        ::mkdir((dir + "/data").c_str(), 0700) != 0 ||
        ::chown((dir + "/data").c_str(), owner->pw_uid, owner->pw_gid) != 0) {
        std::perror(("cannot lay out " + dir).c_str());
        return false;
    }
    const std::string smtpd = "127.0.0.1:" + std::to_string(port_) + " inet n - n - - smtpd\n";
    return Write(Etc() + "/main.cf", MainCf(dir, settings)) &&
           Write(Etc() + "/master.cf", smtpd + kServices);
}

void PostfixServer::StartWatchdog() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    const std::vector<std::string> args{"/bin/sh", "-c", kWatchdog, "sh", Etc(), dir_.Path()};
    watchdog_ = ::fork();
    if (watchdog_ == 0) {
        ::setsid();  // out of the bench's process group: a ^C reaches the bench only
        ::dup2(fds[0], STDIN_FILENO);
        Exec(args);
    }
    ::close(fds[0]);
    watchdogFd_ = fds[1];
}

bool PostfixServer::Postfix(const std::string& command) const {
    const std::vector<std::string> args{kPostfixPath, "-c", Etc(), command};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);  // the bench's output is its tables
        Exec(args);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

bool PostfixServer::Start(const Settings& settings) {
    if (::access(kPostfixPath, X_OK) != 0) {
        std::fprintf(stderr, "%s is missing (scripts/bench-profiles installs it)\n", kPostfixPath);
        return false;
    }
    port_ = test::FreeLocalPort();
    if (!WriteConfig(settings)) return false;
    StartWatchdog();
    started_ = Postfix("start");
    for (int i = 0; started_ && i < 1000; ++i) {
        if (Connects(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (started_) {
        std::fprintf(stderr, "Postfix does not listen on 127.0.0.1:%d\n", port_);
    } else {
        std::fprintf(stderr, "postfix -c %s start failed\n", Etc().c_str());
    }
    PrintLogTail();
    Stop();
    return false;
}

void PostfixServer::Stop() {
    const bool stopped = !started_ || Postfix("stop") || Postfix("abort");
    started_ = false;
    if (watchdogFd_ >= 0) {
        constexpr char kStopped[] = "stopped\n";
        if (stopped && ::write(watchdogFd_, kStopped, sizeof kStopped - 1) < 0) {
            std::perror("cannot tell the Postfix watchdog");
        }
        ::close(watchdogFd_);
        watchdogFd_ = -1;
        ::waitpid(watchdog_, nullptr, 0);
    }
    if (logFd_ >= 0) {
        ::close(logFd_);
        logFd_ = -1;
    }
}

// The log is read on from where the last call stopped; a line counts once
// it is complete.
std::uint64_t PostfixServer::Discarded() {
    if (logFd_ < 0) logFd_ = ::open((dir_.Path() + "/maillog").c_str(), O_RDONLY | O_CLOEXEC);
    if (logFd_ < 0) return discarded_;
    char buf[65536];
    ssize_t n;
    while ((n = ::pread(logFd_, buf, sizeof buf, logOffset_)) > 0) {
        logOffset_ += n;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t start = 0, end;
    while ((end = pending_.find('\n', start)) != std::string::npos) {
        const std::string_view line(pending_.data() + start, end - start);
        if (line.find("/discard[") != line.npos && line.find(" status=sent ") != line.npos) {
            ++discarded_;
        }
        start = end + 1;
    }
    pending_.erase(0, start);
    return discarded_;
}

bool PostfixServer::WaitDiscarded(std::uint64_t count, double seconds) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::microseconds(static_cast<long>(seconds * 1e6));
    while (Discarded() < count) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::uint64_t PostfixServer::LogLines(const std::string& text) const {
    const std::string log = test::ReadFile(dir_.Path() + "/maillog");
    std::uint64_t n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        ++n;
    }
    return n;
}

void PostfixServer::PrintLogTail() const {
    const std::string log = test::ReadFile(dir_.Path() + "/maillog");
    std::size_t at = log.size();
    for (int lines = 0; lines < 15 && at > 0; ++lines) {
        const std::size_t nl = log.rfind('\n', at - 1);
        at = nl == std::string::npos ? 0 : nl;
    }
    std::fprintf(stderr, "last lines of its log:\n%s\n", log.c_str() + at);
}

}  // namespace bw::bench
