// Database costs against a private MariaDB server on loopback: one
// health-check probe, one minilog row, one IncStats (median and 90th
// percentile over many), and the CPU the idle daemon's database timers
// (health check and return timer) use per minute with the database up (the
// loop on the real clock, scaled).
//
//   db_bench [samples=2000] [idle-seconds=20]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "db/audit_spool.h"
#include "db/db_audit.h"
#include "db/db_session.h"
#include "db/health_check.h"
#include "platform/clock.h"
#include "platform/db.h"
#include "platform/loop.h"
#include "platform/mariadb.h"
#include "platform/service.h"
#include "tests/support/fake_service.h"
#include "tests/support/mariadb_server.h"

namespace bw {
namespace {

using Micro = std::chrono::duration<double, std::micro>;

void Report(const char* what, int samples, const std::function<void()>& fn) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(samples));
    for (int i = 0; i < samples; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        us.push_back(Micro(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    std::printf("%-28s median %8.1f us   p90 %8.1f us   (%d samples)\n", what, us[us.size() / 2],
                us[us.size() * 9 / 10], samples);
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The database side of the daemon on the real clock: session, spool,
// health check on its two timers, and the audit of installation "BENCH".
struct DbWorld {
    explicit DbWorld(const std::string& dir) {
        db.UseConnectStrings({dir + "/exe", dir + "/"});
        spool.Open(dir + "/state", service);
    }
    SystemClock clock;
    Loop loop{clock};
    FakeService service;
    MariaDbFactory factory;
    DbSession db{factory};
    AuditSpool spool;
    Timer tmrBackupDB{loop, 5000, false, [this] { health.tmrBackupDB_Timer(); }};
    HealthCheck health{db, spool, clock, service, [this](bool on) { tmrBackupDB.SetEnabled(on); }};
    Timer tmrDBCheck{loop, 1000, false, [this] { health.tmrDBCheck_Timer(); }};
    DbAudit audit{spool, clock, "BENCH"};
};

void Latencies(DbWorld& w, int samples) {
    Report("health-check probe", samples, [&] { w.health.tmrDBCheck_Timer(); });
    Report("minilog row (AddMinLog)", samples, [&] {
        w.audit.AddMinLog({"BWTarnOut", 0, "sender@example.com", "rcpt@example.org",
                           "900 Delivered 1234567890 127.0.0.1"});
    });
    Report("IncStats", samples, [&] { w.audit.IncStats("delivered", 1); });
}

// The idle daemon: the database timers on the real clock, nothing else to do.
void Idle(DbWorld& w, int idleSeconds) {
    w.tmrDBCheck.SetEnabled(true);
    Timer stop(w.loop, idleSeconds * 1000, true, [&] { w.loop.Stop(); });
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    w.loop.Run();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    std::printf(
        "idle daemon, %.1f s wall: %.2f ms CPU = %.2f ms CPU per minute = %.4f %% of one core\n",
        wall, cpu * 1000, cpu * 1000 * 60 / wall, cpu / wall * 100);
}

}  // namespace
}  // namespace bw

int main(int argc, char** argv) {
    using namespace bw;
    const int samples = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    const int idleSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;

    test::PrivateMariaDb server;
    if (!server.Start()) {
        std::fprintf(stderr, "db_bench: cannot start a private MariaDB\n");
        return 1;
    }
    const std::string db = test::CreateTestDatabase(server.Port());
    test::Exec(server.Port(), db, "INSERT INTO tbl_stats (tarnid) VALUES ('BENCH')");

    char tmpl[] = "/tmp/bwdbbench.XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::filesystem::create_directory(dir + "/exe");
    std::ofstream(dir + "/DBConnect.dat") << test::ConnString(server.Port(), db) << "\r\n";
    int result = 0;
    {
        DbWorld w(dir);
        w.health.tmrDBCheck_Timer();  // first connection
        if (!w.db.IsOpen()) {
            std::fprintf(stderr, "db_bench: no connection\n");
            result = 1;
        } else {
            std::printf("MariaDB on 127.0.0.1:%d, database %s\n", server.Port(), db.c_str());
            Latencies(w, samples);
            if (w.service.Count("Restored lost DB Connection!") != 1) {
                std::fprintf(stderr, "db_bench: the connection was lost during the run\n");
                result = 1;
            } else {
                Idle(w, idleSeconds);
            }
        }
    }
    std::filesystem::remove_all(dir);
    return result;
}
