#include "bench/support/galera_run.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/support/delivery_timeline.h"
#include "bench/support/fault_sites.h"
#include "tests/support/metrics_scrape.h"

namespace bw::bench {
namespace {

const std::string kScript = std::string(BW_SOURCE_DIR) + "/scripts/galera-cluster";

bool Cluster(const std::string& what, const std::string& dir) {
    const std::string cmd = kScript + " " + what + " '" + dir + "' >>'" + dir + ".log' 2>&1";
    return std::system(cmd.c_str()) == 0;
}

/// SQL ports of nodes 1 to 3 (index 0 unused), from DIR/ports.
std::vector<int> SqlPorts(const std::string& dir) {
    std::vector<int> ports(4, 0);
    std::ifstream in(dir + "/ports");
    for (int node = 0, sql = 0, rest = 0; in >> node >> sql >> rest >> rest >> rest;) {
        if (node >= 1 && node <= 3) ports[node] = sql;
    }
    return ports;
}

/// DBConnect.dat on `node`, DBConnect1.dat and 2 on the next ones.
void WriteConnections(const Site& site, const std::vector<int>& ports, int node,
                      const std::string& db) {
    for (int i = 0; i < 3; ++i) {
        const std::string name =
            i == 0 ? "DBConnect.dat" : "DBConnect" + std::to_string(i) + ".dat";
        test::WriteFile(site.App() + name,
                        test::ConnString(ports[(node - 1 + i) % 3 + 1], db) + "\r\n");
    }
}

/// Which connection string the daemon uses (0 its own node, n an alternative, -1 none).
int ConnectionString(int metricsPort) {
    const std::string v =
        test::MetricSample(test::HttpGet(metricsPort), "bwtarnout_db_connection_string");
    return v.empty() ? -2 : std::atoi(v.c_str());
}

/// Seconds until `done` holds (polled every 20 ms), or -1 after `limit` seconds.
template <typename Done>
double Until(Done done, double limit) {
    const auto t0 = Clock::now();
    while (Since(t0) < limit) {
        if (done()) return Since(t0);
        SleepMs(20);
    }
    return -1;
}

struct Phase {
    WallTime from, to;
};

struct Figures {
    std::vector<double> failover, back;
    Phase quiet, kills;
};

// One daemon per node 1 and 2, both feeding the shared database of the first.
struct Gateways {
    Gateways(int smtpPort, const std::vector<int>& ports, bool fast);
    Site& A() { return *sites[0]; }
    Site& B() { return *sites[1]; }
    Sites sites;
    int metrics[3] = {0, 0, 0};  // by node (index 0: node 1); 0 where no daemon
};

Gateways::Gateways(int smtpPort, const std::vector<int>& ports, bool fast) {
    for (int node = 1; node <= 2; ++node) {
        Values values = ProfileValues(fast);
        metrics[node - 1] = test::FreeLoopbackPort();
        values.emplace_back("MetricsListen", "127.0.0.1:" + std::to_string(metrics[node - 1]));
        sites.push_back(
            std::make_unique<Site>("G" + std::to_string(node), smtpPort, ports[node], values));
    }
    A().in.Exec("INSERT INTO tbl_stats (tarnid) VALUES ('" + B().tarnId + "')");
    WriteConnections(A(), ports, 1, A().in.Db());
    WriteConnections(B(), ports, 2, A().in.Db());
}

/// Queues `perSecond` pairs a second to each site until `stop`.
void Feed(Sites& sites, int perSecond, const std::atomic<bool>& stop) {
    const auto step = std::chrono::microseconds(1000000 / std::max(1, perSecond));
    auto next = Clock::now();
    for (long i = 0; !stop; ++i) {
        for (auto& s : sites)
            s->Queue(i % 2 == 0 ? "Inbox/" : "Outbox/",
                     s->tarnId + "-" + std::to_string(100000 + i));
        next += step;
        std::this_thread::sleep_until(next);
    }
}

/// Kills the nodes in rotation; one line per kill: the fail-over of the
/// daemon on that node, the restart (until the node is synced) and the
/// daemon's return, both from the restart command.
void Rotate(const std::string& dir, Gateways& g, int kills, Figures& f) {
    for (int k = 0; k < kills; ++k) {
        const int node = k % 3 + 1;
        const int metrics = g.metrics[node - 1];
        const auto killed = Clock::now();
        Cluster("kill " + std::to_string(node), dir);
        double over = -1;
        if (metrics != 0) {
            over = Until([&] { return ConnectionString(metrics) > 0; }, 20);
            f.failover.push_back(over);
        }
        while (Since(killed) < 10) SleepMs(50);
        const auto restart = Clock::now();
        Cluster("restart " + std::to_string(node), dir);
        const double synced = Since(restart);
        double back = -1;
        if (metrics != 0) {
            Until([&] { return ConnectionString(metrics) == 0; }, 30);
            back = Since(restart);
            f.back.push_back(back);
        }
        std::printf(
            "kill %d: node %d, fail-over %.2f s, restart to synced %.2f s, back on it %.2f s\n",
            k + 1, node, over, synced, back);
        std::fflush(stdout);
        SleepMs(5000);
    }
}

void PrintPhase(const char* name, const Phase& p, const DeliveryTimeline& t) {
    const double s = Seconds(p.from, p.to);
    std::printf("%-12s %.0f s: %ld deliveries, %.2f/s, longest without a new delivery %.2f s\n",
                name, s, t.CountIn(p.from, p.to), s > 0 ? t.CountIn(p.from, p.to) / s : 0.0,
                t.LongestGap(p.from, p.to));
}

void PrintList(const char* name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-26s", name);
    for (const double x : v) std::printf(x < 0 ? " never" : " %.2f", x);
    std::printf(v.empty() ? " -\n" : "  (median %.2f s)\n", v.empty() ? 0.0 : v[v.size() / 2]);
}

/// Waits until the audit of every delivery is in the shared database.
bool Settle(Gateways& g, const test::SmtpPeer& sink) {
    const auto t0 = Clock::now();
    while (Since(t0) < 120) {
        long spooled = 0;
        for (auto& s : g.sites) spooled += s->Spooled();
        const long rows = g.A().Number("SELECT COUNT(*) FROM tbl_minilog");
        if (spooled == 0 && rows >= static_cast<long>(sink.Messages())) return true;
        SleepMs(500);
    }
    return false;
}

int Run(bool fast, int kills, int feed, const std::string& dir, const std::vector<int>& ports) {
    test::SmtpPeer sink;
    sink.Start();
    Gateways g(sink.Port(), ports, fast);
    DeliveryTimeline timeline([&sink] { return sink.Messages(); });
    std::atomic<bool> stop{false};
    std::thread feeder([&] { Feed(g.sites, feed, stop); });
    for (auto& s : g.sites) s->in.Start();
    Figures f;
    SleepMs(8000);  // the first scan and the first deliveries
    f.quiet.from = std::chrono::system_clock::now();
    SleepMs(30000);
    f.quiet.to = f.kills.from = std::chrono::system_clock::now();
    Rotate(dir, g, kills, f);
    f.kills.to = std::chrono::system_clock::now();
    stop = true;
    feeder.join();
    const bool drained = WaitDrained(g.sites, 300);
    const bool settled = Settle(g, sink);
    for (auto& s : g.sites) s->in.Terminate();
    timeline.Stop();
    Tally t;
    Count(g.sites, sink, t, &g.A());
    std::printf(
        "fault_bench galera, %s profile: 2 daemons (nodes 1 and 2), %d node kills, %d pairs/s "
        "to each; drained %s, audit settled %s\n",
        fast ? "fast" : "classic", kills, feed, drained ? "yes" : "NO", settled ? "yes" : "NO");
    PrintPhase("quiet phase", f.quiet, timeline);
    PrintPhase("kill phase", f.kills, timeline);
    PrintList("fail-over seconds", f.failover);
    PrintList("return seconds (from restart)", f.back);
    std::printf("journal: restores %d + %d\n", g.A().JournalCount("Restored lost DB Connection!"),
                g.B().JournalCount("Restored lost DB Connection!"));
    PrintTally(t);
    sink.Stop();
    return drained && settled ? 0 : 1;
}

}  // namespace

int RunGalera(bool fast, int kills, int feed, const std::string& given) {
    const std::string dir = given.empty() ? "/tmp/bw-galera-" + std::to_string(::getpid()) : given;
    if (!Cluster("start", dir)) {
        std::fprintf(stderr, "galera cluster did not start: see %s.log\n", dir.c_str());
        return 1;
    }
    const int rc = Run(fast, kills, feed, dir, SqlPorts(dir));
    if (given.empty()) {
        Cluster("remove", dir);
        if (rc == 0) ::unlink((dir + ".log").c_str());
    }
    return rc;
}

}  // namespace bw::bench
