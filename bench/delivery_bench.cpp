// Delivery benchmark against a local SMTP sink on 127.0.0.1.
//
//   delivery_bench [small-count] [big-megabytes]     (defaults 1000 and 100)
//
// Scenario 1: small-count small pairs in the Inbox (the Outbox holds a pair in
// delivery elsewhere, so both queues hold work and the scan keeps its 500 ms
// interval). Prints messages/s, the bound that the timer cadence allows, the
// ratio, CPU seconds and peak RSS per 1,000 messages.
// Scenario 2: one message of big-megabytes. Prints the body rate (sink clock,
// DATA reply to end of data) and the peak RSS.
// Each scenario's delivery runs in a child process started afresh from this
// program (the sink stays in this one), so CPU and peak memory are the
// delivery's alone.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

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
#include "platform/service.h"
#include "tests/support/mariadb_server.h"
#include "tests/support/smtp_peer.h"

namespace {

using namespace bw;

// Timer cadence of one delivery on a server that answers at once:
// three 250 ms stage ticks (envelope, connect, greeting), 5 ms to the recipient,
// 5 ms back to stage 5, 5 ms to DATA, 1 ms to the first piece, a 100 ms tick from
// the QUIT reply to the filing, 5 ms to the unload.
constexpr double kWindowSeconds = (3 * 250 + 5 + 5 + 5 + 1 + 100 + 5) / 1000.0;
// The scan alternates Inbox and Outbox at 500 ms, so one queue is scanned once a
// second; a window (0.871 s) ends before the next scan of its queue, and each
// scan starts five.
constexpr double kScanPeriodSeconds = 1.0;
constexpr double kBoundPerSecond = 5 / kScanPeriodSeconds;

struct ChildResult {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long maxRssKb = 0;
    int exitCode = -1;
};

void WritePair(const std::string& folder, const std::string& name, const std::string& body) {
    std::ofstream(folder + name + ".dat", std::ios::binary)
        << "id\t127.0.0.1\tbench\r\nHELO bench.example\r\nsender@ext.example\r\n"
           "rcpt@corp.example\r\n";
    std::ofstream(folder + name + ".msg", std::ios::binary)
        << "X-Queue: bench\r\nSubject: bench\r\n\r\n"
        << body;
}

/// The delivery side: runs the daemon's loop and dispatcher until `expect`
/// windows have unloaded. Exit code 0 when all were delivered.
int RunDaemon(const std::string& appPath, int port, int expect) {
    ResetGlobals();
    SystemClock clock;
    Loop loop(clock);
    auto& g = G();
    g.clock = &clock;
    g.loop = &loop;
    g.AppPath = appPath;
    g.AccPath = appPath + "TarnIN/";
    g.TarnID = "BENCH";
    g.iSMTPLog = 0;
    g.iUseTrash = 0;
    g.sForwardedList = "\t";
    g.aSMTPServers = {"127.0.0.1:" + std::to_string(port)};
    ::setenv("BW_STATE_DIR", (appPath + "state").c_str(), 1);  // the sent record
    MariaDbFactory factory;
    g.db.factory = &factory;
    g.db.connectStrings = {appPath + "exe", appPath};  // none beside: DBConnect.dat in AppPath
    g.audit = std::make_unique<DbAudit>(g.db, g.spool, clock, g.TarnID);
    FakeService events;
    HealthCheck health(g.db, g.spool, clock, events, {});
    health.tmrDBCheck_Timer();
    Timer dbCheck(loop, 1000, true, [&] { health.tmrDBCheck_Timer(); });
    g.tmrDBCheck = &dbCheck;
    int done = 0;
    int delivered = 0;
    SharedMainAudit audit;
    Timer queue(loop, 5000, true);
    Delivery delivery(
        clock, loop, nullptr, audit, appPath + "state/sent-pairs", g.iActiveTransfers,
        [] { return static_cast<bool>(G().db.conn); }, &queue);
    // The settings of a fresh installation without trash, the sink as the one server.
    DeliverySettings& settings = delivery.settings;
    settings.smtpServers.push_back("127.0.0.1:" + std::to_string(port));
    settings.appPath = appPath;
    settings.useTrash = false;
    settings.forwardedList = "\t";
    queue.SetHandler([&] { delivery.dispatcher.tmrQueue_Timer(); });
    delivery.dispatcher.Windows().SetUnloadObserver([&](const tMinLog& r, const std::string&) {
        ++done;
        delivered += r.sAction.rfind("900 Delivered", 0) == 0 ? 1 : 0;
        if (done >= expect) loop.Stop();
    });
    g.tmrQueue = &queue;
    delivery.dispatcher.tmrQueue_Timer();  // the first scan, without the start-up wait
    loop.Run();
    delivery.dispatcher.Windows().SetUnloadObserver({});
    delivery.dispatcher.Windows().DestroyAll();
    g.tmrQueue = nullptr;
    g.tmrDBCheck = nullptr;
    return delivered == expect ? 0 : 1;
}

ChildResult InChild(const std::string& appPath, int port, int expect) {
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A fresh image, so the figures hold nothing inherited from the sink's process.
        const std::string p = std::to_string(port);
        const std::string e = std::to_string(expect);
        ::execl("/proc/self/exe", "delivery_bench", "--daemon", appPath.c_str(), p.c_str(),
                e.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    ChildResult r;
    r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpuSeconds = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
                   ru.ru_stime.tv_usec / 1e6;
    r.maxRssKb = ru.ru_maxrss;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

/// An application folder with a database of its own (minilog rows and the
/// counter are written for real, as in the daemon).
std::string MakeAppFolder(int dbPort, std::string& db) {
    char tmpl[] = "/tmp/bwbench.XXXXXX";
    const std::string root = std::string(::mkdtemp(tmpl)) + "/";
    for (const char* d : {"TarnIN/Inbox", "TarnIN/Outbox", "TarnIN/Trash", "Logs", "exe"}) {
        std::filesystem::create_directories(root + d);
    }
    db = bw::test::CreateTestDatabase(dbPort);
    bw::test::Exec(dbPort, db, "INSERT INTO tbl_stats (tarnid) VALUES ('BENCH')");
    std::ofstream(root + "DBConnect.dat") << bw::test::ConnString(dbPort, db) << "\r\n";
    return root;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--daemon") {
        return RunDaemon(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    const int small = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int bigMb = argc > 2 ? std::atoi(argv[2]) : 100;
    int rc = 0;

    const int dbPort = bw::test::SharedDbPort();
    std::string db;
    bw::test::SmtpPeer sink;
    sink.KeepBodies(false);
    sink.Start();

    // --- scenario 1: many small messages ---------------------------------------------
    {
        const std::string app = MakeAppFolder(dbPort, db);
        const std::string body = "Hello,\r\n\r\nthis is a small test message.\r\n";
        for (int i = 0; i < small; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "S%06d", i);
            WritePair(app + "TarnIN/Inbox/", name, body);
        }
        WritePair(app + "TarnIN/Outbox/", "Held", body);
        const int held = ::open((app + "TarnIN/Outbox/Held.dat").c_str(), O_RDONLY | O_CLOEXEC);
        ::flock(held, LOCK_EX);
        const ChildResult r = InChild(app, sink.Port(), small);
        ::close(held);
        const double rate = small / r.wallSeconds;
        std::printf("small messages: %d delivered in %.1f s (exit %d)\n", small, r.wallSeconds,
                    r.exitCode);
        std::printf("  throughput          %.2f messages/s\n", rate);
        std::printf(
            "  cadence bound       %.2f messages/s (5 windows per %.1f s scan of a queue;"
            " a window lasts %.3f s)\n",
            kBoundPerSecond, kScanPeriodSeconds, kWindowSeconds);
        std::printf("  ratio               %.3f (target >= 0.9)\n", rate / kBoundPerSecond);
        std::printf("  CPU per 1,000       %.3f s\n", r.cpuSeconds * 1000.0 / small);
        std::printf("  peak RSS            %ld KB\n", r.maxRssKb);
        std::printf("  minilog rows %s, delivered count %s\n",
                    bw::test::Scalar(dbPort, db, "SELECT COUNT(*) FROM tbl_minilog").c_str(),
                    bw::test::Scalar(dbPort, db, "SELECT delivered FROM tbl_stats").c_str());
        if (r.exitCode != 0) rc = 1;
        std::filesystem::remove_all(app);
        bw::test::DropTestDatabase(dbPort, db);
    }

    // --- scenario 2: one big message -------------------------------------------------
    {
        const std::string app = MakeAppFolder(dbPort, db);
        const std::string line(76, 'x');
        {
            std::ofstream dat(app + "TarnIN/Inbox/Big.dat", std::ios::binary);
            dat << "id\t127.0.0.1\tbench\r\nHELO bench.example\r\nsender@ext.example\r\n"
                   "rcpt@corp.example\r\n";
            std::ofstream msg(app + "TarnIN/Inbox/Big.msg", std::ios::binary);
            msg << "X-Queue: bench\r\nSubject: big\r\n\r\n";
            std::string chunk;
            for (int i = 0; i < 1000; ++i) chunk += line + "\r\n";
            const long long target = static_cast<long long>(bigMb) * 1000 * 1000;
            for (long long n = 0; n < target; n += static_cast<long long>(chunk.size()))
                msg << chunk;
        }
        const auto bytesBefore = sink.BodyBytes();
        const ChildResult r = InChild(app, sink.Port(), 1);
        const double mb = static_cast<double>(sink.BodyBytes() - bytesBefore) / 1e6;
        std::printf("big message: %.1f MB delivered in %.2f s (exit %d)\n", mb, r.wallSeconds,
                    r.exitCode);
        std::printf("  body rate           %.1f MB/s (DATA reply to end of data, target >= 100)\n",
                    mb / sink.LastBodySeconds());
        std::printf("  CPU                 %.3f s\n", r.cpuSeconds);
        std::printf("  peak RSS            %ld KB\n", r.maxRssKb);
        if (r.exitCode != 0) rc = 1;
        std::filesystem::remove_all(app);
        bw::test::DropTestDatabase(dbPort, db);
    }
    sink.Stop();
    return rc;
}
