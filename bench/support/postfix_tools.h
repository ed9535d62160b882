// Postfix's test tools as partners of the benches: smtp-sink, a counting SMTP
// sink on 127.0.0.1 whose running counters ("-c") are read from its output as
// they change, and smtp-source, an SMTP load generator run to its end. Both
// come from /usr/sbin (scripts/bench-profiles installs Postfix's tools for the
// benches only; the daemon never needs them).
// DIAGNOSTICS: Start() returns false and prints why when the sink cannot be
// run or does not listen; a source run returns its exit status (127: not
// found) with its CPU time and peak memory.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bw::bench {

using Clock = std::chrono::steady_clock;

/// A child process run to its end: exit status, wall, CPU seconds, peak RSS.
struct ChildRun {
    int status = -1;
    double seconds = 0;
    double cpuSeconds = 0;
    long maxRssKb = 0;
};

class PostfixSink {
  public:
    PostfixSink() = default;
    ~PostfixSink() { Stop(); }
    PostfixSink(const PostfixSink&) = delete;
    PostfixSink& operator=(const PostfixSink&) = delete;

    /// Runs smtp-sink on a free port of 127.0.0.1 and waits until it listens.
    bool Start();
    void Stop();
    int Port() const { return port_; }
    /// Messages the sink took (its "mesg" counter).
    std::uint64_t Messages() const { return messages_.load(); }
    /// Waits until the sink holds `count` messages, `alive` turns false or
    /// `seconds` pass; true when the count was reached.
    bool WaitMessages(std::uint64_t count, double seconds,
                      const std::function<bool()>& alive = {}) const;
    /// Seconds from the arrival of message `first` to that of message `last`
    /// (numbers from 1, as the sink counts them).
    double Span(std::uint64_t first, std::uint64_t last) const;

  private:
    void ReadCounters(int fd);
    void Counted(std::uint64_t mesg, Clock::time_point when);

    pid_t pid_ = -1;
    int port_ = 0;
    std::thread reader_;
    std::atomic<std::uint64_t> messages_{0};
    mutable std::mutex mu_;
    std::vector<Clock::time_point> arrivals_;  // [n - 1]: when message n came
};

/// smtp-source with `sessions` sessions at once, `messages` messages of
/// `bytes` payload bytes to 127.0.0.1:port: a new connection per message, or
/// with `keepConnection` ("-d") one connection per session for all its messages.
ChildRun RunSmtpSource(int port, int sessions, int messages, int bytes,
                       bool keepConnection = false);

/// True when something accepts a TCP connection on 127.0.0.1:port.
bool Connects(int port);

/// Runs the program args[0] with `args` in a child process: for a child that
/// has just forked. Exits with 127 when it cannot.
[[noreturn]] void Exec(const std::vector<std::string>& args);

}  // namespace bw::bench
