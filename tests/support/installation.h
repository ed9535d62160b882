// A gateway installation of its own for end-to-end tests and benchmarks: an
// application folder (lang/English.lng, TarnIN/AccInfo.ini, DBConnect.dat),
// a registry export, a database on a private MariaDB, and the real daemon
// (build/bwtarnout) started and stopped on request. Everything goes with the
// object. Database failures are test failures (see mariadb_server.h).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/mariadb_server.h"

namespace bw::test {

using Strings = std::vector<std::string>;

/// The daemon scans its queues first this long after its start.
constexpr double kFirstScanSeconds = 5.0;

struct InstallationOptions {
    int dbPort = 0;  // 0: the shared server of the test run
    std::string tarnId = "E2E0A1";
    bool smtpLog = true;   // the session log under Logs/
    bool useTrash = true;  // delivered pairs to Trash/, else deleted
};

/// What the daemon used, read when it ended.
struct ProcessUsage {
    double cpuSeconds = 0;
    long maxRssKb = 0;
};

class Installation {
  public:
    explicit Installation(int smtpPort, InstallationOptions options = {});
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    const std::string& App() const { return app_; }
    std::string Acc() const { return app_ + "TarnIN/"; }
    int DbPort() const { return dbPort_; }
    const std::string& Db() const { return db_; }

    /// Queues a pair in `folder` ("Inbox/" or "Outbox/"); the envelope is
    /// written under another name and renamed in, as the receiving side does.
    void Queue(const std::string& folder, const std::string& name, const Strings& dat,
               const std::string& body = "Subject: test\r\n\r\nhello\r\n");

    void Start();
    bool Running();
    /// SIGKILL, like a crash.
    void Kill();
    /// Stops the daemon the way the service manager does and waits for its end.
    void Terminate();
    const ProcessUsage& Usage() const { return usage_; }

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
    /// A file of the daemon's state folder.
    std::string StateFile(const std::string& name) const;

  private:
    void WriteSettings(int smtpPort, const InstallationOptions& o);
    void Reap(int options);

    std::string tarnId_;
    std::string work_;
    std::string app_;
    int dbPort_ = 0;
    std::string db_;
    pid_t pid_ = -1;
    ProcessUsage usage_;
};

/// The envelope lines of a pair: client line, greeting command, sender, recipients.
Strings Envelope(const std::string& from, const Strings& rcpts);

}  // namespace bw::test
