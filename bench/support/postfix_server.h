// A private Postfix as the real mail server of a bench: smtpd on a free port
// of 127.0.0.1, every transport "discard" (a message is taken, queued by
// cleanup, handed to the queue manager and dropped by the discard agent), no
// DNS and no client name lookups, mynetworks 127.0.0.0/8. Everything lives in
// a temporary folder of its own: etc/ (main.cf and master.cf written here),
// queue/ and data/ (owned as Postfix wants them) and the log file maillog,
// from which the discard deliveries are counted. Started with
// `postfix -c DIR/etc start`, stopped with `postfix -c DIR/etc stop` by Stop()
// or the destructor; a watchdog process does the same should the bench die
// without either (Postfix's master runs detached, it would outlive it).
// DIAGNOSTICS: Start() returns false and prints why (the log's last lines)
// when Postfix cannot be started or does not listen.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace bw::bench {

class PostfixServer {
  public:
    using Settings = std::vector<std::pair<std::string, std::string>>;

    PostfixServer() = default;
    ~PostfixServer() { Stop(); }
    PostfixServer(const PostfixServer&) = delete;
    PostfixServer& operator=(const PostfixServer&) = delete;

    /// Writes the configuration, with `settings` (main.cf name, value) after
    /// the bench's own, starts Postfix and waits until smtpd listens.
    bool Start(const Settings& settings = {});
    /// Stops Postfix (forcibly when a stop fails) and ends the watchdog.
    void Stop();
    int Port() const { return port_; }
    /// Messages the discard agent has delivered so far ("status=sent" lines).
    std::uint64_t Discarded();
    /// Waits until `count` messages were discarded or `seconds` pass.
    bool WaitDiscarded(std::uint64_t count, double seconds);
    /// Lines of its log so far that hold `text`.
    std::uint64_t LogLines(const std::string& text) const;

  private:
    std::string Etc() const { return dir_.Path() + "/etc"; }
    bool WriteConfig(const Settings& settings) const;
    void StartWatchdog();
    bool Postfix(const std::string& command) const;
    void PrintLogTail() const;

    test::TempDir dir_{"bwpostfix"};
    int port_ = 0;
    bool started_ = false;
    pid_t watchdog_ = -1;
    int watchdogFd_ = -1;
    int logFd_ = -1;
    off_t logOffset_ = 0;
    std::string pending_;  // the log's last line while it is incomplete
    std::uint64_t discarded_ = 0;
};

}  // namespace bw::bench
