// A gateway installation of its own for end-to-end tests and benchmarks: an
// application folder (lang/English.lng, TarnIN/AccInfo.ini, DBConnect.dat),
// a registry export, a database on a private MariaDB, and the real daemon
// (build/bwtarnout) started and stopped on request. Everything goes with the
// object. Database failures are test failures (see mariadb_server.h).
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/mariadb_server.h"
#include "tests/support/temp_dir.h"

namespace bw::test {

using Strings = std::vector<std::string>;

/// The daemon scans its queues first this long after its start.
constexpr double kFirstScanSeconds = 5.0;

struct InstallationOptions {
    int dbPort = 0;  // 0: the shared server of the test run
    std::string tarnId = "E2E0A1";
    bool smtpLog = true;   // the session log under Logs/
    bool useTrash = true;  // delivered pairs to Trash/, else deleted
    /// Further values of section "Server" (name, value), e.g. {"Profile", "fast"}.
    std::vector<std::pair<std::string, std::string>> serverValues;
};

class Installation {
  public:
    explicit Installation(int smtpPort, InstallationOptions options = {});
    ~Installation();

    std::string Acc() const { return app_ + "TarnIN/"; }
    const std::string& Db() const { return db_; }

    /// Queues a pair in `folder` ("Inbox/" or "Outbox/"); the envelope is
    /// written under another name and renamed in, as the receiving side does.
    void Queue(const std::string& folder, const std::string& name, const Strings& dat,
               const std::string& body = "Subject: test\r\n\r\nhello\r\n");

    void Start();
    bool Running();
    /// Runs build/bwtarnout with `args` in this installation's environment and
    /// waits for its end: the exit status (-1 when it did not end normally).
    int RunCommand(const Strings& args, std::string& out, std::string& err) const;
    /// Runs an SQL statement on the installation's database.
    void Exec(const std::string& sql) const;
    /// SIGKILL, like a crash.
    void Kill();
    /// Stops the daemon the way the service manager does and waits for its end
    /// (20 s at most, then SIGKILL); false when it had to be killed.
    bool Terminate();
    /// CPU seconds and peak RSS of the daemon that ended last.
    double CpuSeconds() const { return cpuSeconds_; }
    long MaxRssKb() const { return maxRssKb_; }

    /// Pairs still queued; `loneDat` gets the envelopes left without their message.
    int QueuedPairs(int* loneDat = nullptr) const;
    /// Files ending in `ext` in Acc() + `folder`; 0 when the folder is missing.
    int Files(const std::string& folder, const std::string& ext) const;
    bool WaitQueueEmpty(int seconds);
    bool WaitRows(int n, int seconds) const;

    std::string Scalar(const std::string& sql) const;
    std::vector<Row> Minilog() const;
    std::string Delivered() const;
    std::string SessionLog() const;
    std::string DaemonLog() const;
    /// The daemon's state folder (BW_STATE_DIR).
    std::string StateDir() const { return work_ + "/state/"; }

  private:
    void Reap(int options);

    std::string tarnId_;
    TempDir tmp_{"bwinst"};
    const std::string work_ = tmp_.Path();
    const std::string app_ = work_ + "/app/";
    int dbPort_ = 0;
    std::string db_;
    pid_t pid_ = -1;
    double cpuSeconds_ = 0;
    long maxRssKb_ = 0;
};

/// The envelope lines of a pair: client line, greeting command, sender, recipients.
Strings Envelope(const std::string& from, const Strings& rcpts);

}  // namespace bw::test
