// Database costs against a private MariaDB server on loopback: one
// health-check probe, one minilog row, one IncStats (median and 90th
// percentile over many), and the CPU the idle daemon's main-window timers use
// per minute with the database up (the loop on the real clock, scaled).
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

#include "db/connect_string.h"
#include "db/health_check.h"
#include "db/shared_main.h"
#include "delivery/delivery.h"
#include "host/globals.h"
#include "platform/clock.h"
#include "platform/db.h"
#include "platform/loop.h"
#include "platform/mariadb.h"
#include "platform/service.h"
#include "tests/support/mariadb_server.h"

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

}  // namespace

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
    // Empty queue folders: the idle figure includes the dispatcher's scans.
    std::filesystem::create_directories(dir + "/TarnIN/Inbox");
    std::filesystem::create_directories(dir + "/TarnIN/Outbox");
    std::ofstream(dir + "/DBConnect.dat") << test::ConnString(server.Port(), db) << "\r\n";
    SetDBConnectExeFolder(dir + "/exe");

    SystemClock clock;
    Loop loop(clock);
    FakeService service;
    MariaDbFactory factory;
    Globals& g = G();
    g.AppPath = dir + "/";
    g.AccPath = g.AppPath + "TarnIN/";
    g.clock = &clock;
    g.loop = &loop;
    g.service = &service;
    g.db.factory = &factory;
    g.oShared = std::make_unique<clsSharedMain>();

    tmrDBCheck_Timer();  // first connection
    if (!g.db.conn || g.db.conn->State() != DbConnection::kStateOpen) {
        std::fprintf(stderr, "db_bench: no connection\n");
        return 1;
    }
    std::printf("MariaDB on 127.0.0.1:%d, database %s\n", server.Port(), db.c_str());
    Report("health-check probe", samples, [] { tmrDBCheck_Timer(); });
    Report("minilog row (AddMinLog)", samples, [&] {
        g.oShared->AddMinLog("BWTarnOut", 0, "sender@example.com", "rcpt@example.org",
                             "900 Delivered 1234567890 127.0.0.1");
    });
    Report("IncStats", samples, [&] { g.oShared->IncStats("BENCH", "delivered", 1); });
    if (service.Count("Restored lost DB Connection!") != 1) {
        std::fprintf(stderr, "db_bench: the connection was lost during the run\n");
        return 1;
    }

    // The idle daemon: the main window's three timers, nothing queued.
    SharedMainAudit audit;
    Timer tmrQueue(loop, 5000, true);
    Delivery delivery(
        clock, loop, &service, audit, dir + "/state/sent-pairs", g.iActiveTransfers,
        [] { return static_cast<bool>(G().db.conn); }, &tmrQueue);
    delivery.settings.appPath = g.AppPath;
    tmrQueue.SetHandler([&] { delivery.dispatcher.tmrQueue_Timer(); });
    Timer tmrDBCheck(loop, 1000, true, [] { tmrDBCheck_Timer(); });
    Timer tmrBackupDB(loop, 5000, false, [] { tmrBackupDB_Timer(); });
    g.tmrQueue = &tmrQueue;
    g.tmrDBCheck = &tmrDBCheck;
    g.tmrBackupDB = &tmrBackupDB;
    Timer stop(loop, idleSeconds * 1000, true, [&] { loop.Stop(); });
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    loop.Run();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    std::printf(
        "idle daemon, %.1f s wall: %.2f ms CPU = %.2f ms CPU per minute = %.4f %% of one core\n",
        wall, cpu * 1000, cpu * 1000 * 60 / wall, cpu / wall * 100);

    g.tmrQueue = g.tmrDBCheck = g.tmrBackupDB = nullptr;
    ResetGlobals();
    SetDBConnectExeFolder("");
    std::filesystem::remove_all(dir);
    return 0;
}
