// The fast profile's grouped writes against a private MariaDB server on
// loopback, in messages per second: the audit of a message (one minilog row
// and one IncStats), classic (two statements per message) and grouped
// (appended to the spool, FlushGroup every N messages: one fdatasync and one
// transaction per group), once with the server's InnoDB log flushed once a
// second (the test servers) and once at every commit (the server's default);
// with the median and 90th percentile of one FlushGroup, the time the daemon's
// loop is held per group. Then the sent record (remember a pair, forget the
// one taken eight messages before): fdatasync per pair, or one per group.
// Every run is checked against the tables (rows and count).
//
//   group_bench [messages=5000] [group=20]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "db/audit_spool.h"
#include "db/db_audit.h"
#include "db/db_session.h"
#include "db/health_check.h"
#include "delivery/sent_record.h"
#include "platform/clock.h"
#include "platform/mariadb.h"
#include "tests/support/fake_service.h"
#include "tests/support/mariadb_server.h"

namespace bw {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The database side of the daemon: session, spool, health check (for the
// first connection) and the audit of installation "BENCH".
struct AuditWorld {
    explicit AuditWorld(const std::string& dir) {
        db.UseConnectStrings({dir + "/exe", dir + "/"});
        spool.Open(dir + "/state", service);
    }
    SystemClock clock;
    FakeService service;
    MariaDbFactory factory;
    DbSession db{factory};
    AuditSpool spool;
    HealthCheck health{db, spool, clock, service, [](bool) {}};
    DbAudit audit{spool, clock, "BENCH"};
};

struct Run {
    double perSecond = 0;
    std::vector<double> flushMs;  // one per group
};

// `messages` audited; group 0 is the classic profile.
Run Audit(AuditWorld& w, int messages, int group) {
    Run run;
    w.audit.SetGrouped(group > 0);
    const auto t0 = Clock::now();
    for (int i = 0; i < messages; ++i) {
        w.audit.AddMinLog({"BWTarnOut", 0, "sender@example.com",
                           "rcpt" + std::to_string(i) + "@example.org",
                           "900 Delivered 1234567890 127.0.0.1"});
        w.audit.IncStats("delivered", 1);
        if (group > 0 && ((i + 1) % group == 0 || i + 1 == messages)) {
            const auto f0 = Clock::now();
            w.audit.FlushGroup();
            run.flushMs.push_back(Seconds(f0) * 1000);
        }
    }
    run.perSecond = messages / Seconds(t0);
    w.audit.SetGrouped(false);
    std::sort(run.flushMs.begin(), run.flushMs.end());
    return run;
}

void Print(const std::string& what, const Run& run) {
    std::printf("  %-40s %9.0f messages/s", what.c_str(), run.perSecond);
    if (!run.flushMs.empty()) {
        const auto& f = run.flushMs;
        std::printf("   FlushGroup median %.2f ms, p90 %.2f ms", f[f.size() / 2],
                    f[f.size() * 9 / 10]);
    }
    std::printf("\n");
}

// The audit runs on one server setting; false when a table does not match.
bool AuditRuns(AuditWorld& w, int port, const std::string& db, int messages, int group,
               int& total) {
    Print("classic (row + count per message)", Audit(w, messages, 0));
    total += messages;
    for (int g : {group, group * 5}) {
        Print("grouped, FlushGroup every " + std::to_string(g), Audit(w, messages, g));
        total += messages;
    }
    const std::string rows = test::Scalar(port, db, "SELECT COUNT(*) FROM tbl_minilog");
    const std::string count = test::Scalar(port, db, "SELECT delivered FROM tbl_stats");
    if (rows != std::to_string(total) || count != rows || w.spool.Pending() != 0) {
        std::fprintf(stderr, "group_bench: %s rows, count %s, %lld waiting; expected %d\n",
                     rows.c_str(), count.c_str(), static_cast<long long>(w.spool.Pending()), total);
        return false;
    }
    return true;
}

double SentRecordRate(const std::string& path, int messages, int group) {
    SentRecord record(path, nullptr);
    record.SetGroupedSync(group > 0);
    const auto t0 = Clock::now();
    for (int i = 0; i < messages; ++i) {
        const auto n = static_cast<std::uint64_t>(i);
        record.RememberSent({{1, n, 1, n + 1000000}, "P" + std::to_string(i), false, 0});
        if (i >= 8) record.ForgetSent({1, n - 8, 1, n - 8 + 1000000});
        if (group > 0 && (i + 1) % group == 0) record.SyncGroup();
    }
    record.SyncGroup();
    const double rate = messages / Seconds(t0);
    std::filesystem::remove(path);
    return rate;
}

int Bench(const std::string& dir, int port, const std::string& db, int messages, int group) {
    AuditWorld w(dir);
    w.health.tmrDBCheck_Timer();  // first connection
    if (!w.db.IsOpen()) {
        std::fprintf(stderr, "group_bench: no connection\n");
        return 1;
    }
    std::printf("MariaDB on 127.0.0.1:%d, %d messages per run, spool in %s\n", port, messages,
                dir.c_str());
    int total = 0;
    std::printf("audit, server's InnoDB log flushed once a second:\n");
    if (!AuditRuns(w, port, db, messages, group, total)) return 1;
    test::Exec(port, db, "SET GLOBAL innodb_flush_log_at_trx_commit = 1");
    std::printf("audit, server's InnoDB log flushed at every commit:\n");
    if (!AuditRuns(w, port, db, messages, group, total)) return 1;
    std::printf("sent record (remember + forget per message):\n");
    for (int g : {0, group}) {
        const std::string what = g == 0 ? std::string("classic (fdatasync per pair)")
                                        : "grouped, SyncGroup every " + std::to_string(g);
        std::printf("  %-40s %9.0f messages/s\n", what.c_str(),
                    SentRecordRate(dir + "/state/sent-pairs", messages, g));
    }
    return 0;
}

}  // namespace
}  // namespace bw

int main(int argc, char** argv) {
    using namespace bw;
    const int messages = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    const int group = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;

    test::PrivateMariaDb server;
    if (!server.Start()) {
        std::fprintf(stderr, "group_bench: cannot start a private MariaDB\n");
        return 1;
    }
    const std::string db = test::CreateTestDatabase(server.Port());
    test::Exec(server.Port(), db, "INSERT INTO tbl_stats (tarnid) VALUES ('BENCH')");

    // The state folder under /tmp: on a tmpfs the fdatasync figures mean nothing.
    char tmpl[] = "/tmp/bwgroupbench.XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::filesystem::create_directory(dir + "/exe");
    std::ofstream(dir + "/DBConnect.dat") << test::ConnString(server.Port(), db) << "\r\n";
    const int result = Bench(dir, server.Port(), db, messages, group);
    std::filesystem::remove_all(dir);
    return result;
}
