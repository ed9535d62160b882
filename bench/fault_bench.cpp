// Fault runs of the real daemon (build/bwtarnout) against a counting SMTP
// sink and a private MariaDB, both on 127.0.0.1, in either profile.
//
//   fault_bench kill      [classic|fast|both] [pairs=1200] [kills=200] [installations=4]
//   fault_bench dbstorm   [classic|fast|both] [pairs=800] [up-ms-min=1500] [up-ms-max=3500]
//   fault_bench lockstorm [classic|fast|both] [pairs=800] [lock-ms-min=1000] [lock-ms-max=4000]
//   fault_bench galera    [classic|fast|both] [kills=6] [feed-per-second=4] [DIR]
//
// The profile defaults to classic (fast pairs are many more: see bench/README.md).
// kill: each installation (application folder, state folder, database of its
// own, all sharing one server and one sink) queues pairs/installations
// pairs; its daemon is started and killed with SIGKILL at a random moment
// after each start (classic 4.5 to 7.5 s: the first scan comes 5 s after a
// start; fast 0.3 to 1.5 s), until `kills` kills have been made; then every
// daemon runs undisturbed until its queues are empty. Prints lost, sent
// twice, stranded, and the minilog rows and counts against deliveries.
//
// dbstorm: one installation; while its pairs are delivered the database is
// killed (SIGKILL) after running up-ms-min to up-ms-max milliseconds, and
// started again 0.3 s later. Prints rows and counts against deliveries and
// the seconds from the server's return to the daemon's connection.
// lockstorm: the same with FLUSH TABLES WITH READ LOCK held for lock-ms-min
// to lock-ms-max, then released for as long. Both print the longest time
// without a new delivery.
//
// galera: bench/support/galera_run.h.
//
// The sink records a message when its "." line has arrived, before its 250
// reply: from then on the server has taken it.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/support/db_lock.h"
#include "bench/support/delivery_timeline.h"
#include "bench/support/fault_sites.h"
#include "bench/support/galera_run.h"

namespace {

using namespace bw::bench;
using bw::test::Installation;
using bw::test::PrivateMariaDb;

/// Kills each daemon at a random moment after each start until `kills` are made.
int KillRepeatedly(Sites& sites, int kills, bool fast) {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> after(fast ? 300 : 4500, fast ? 1500 : 7500);
    std::vector<Clock::time_point> killAt(sites.size());
    for (std::size_t k = 0; k < sites.size(); ++k) {
        sites[k]->in.Start();
        killAt[k] = Clock::now() + std::chrono::milliseconds(after(rng));
    }
    int made = 0;
    for (bool any = true; any && made < kills; SleepMs(1)) {
        any = false;
        for (std::size_t k = 0; k < sites.size() && made < kills; ++k) {
            Installation& in = sites[k]->in;
            if (!in.Running()) continue;
            any = true;
            if (Clock::now() < killAt[k]) continue;
            in.Kill();
            ++made;
            if (in.QueuedPairs() == 0) continue;
            in.Start();
            killAt[k] = Clock::now() + std::chrono::milliseconds(after(rng));
        }
    }
    return made;
}

int RunKill(bool fast, int pairs, int kills, int n) {
    Rig rig;
    if (!rig.Start()) return 1;
    for (int k = 0; k < n; ++k)
        rig.Add(std::to_string(k), ProfileValues(fast))
            .Fill(pairs / n, "k" + std::to_string(k) + "-");
    Sites& sites = rig.sites;
    const auto t0 = Clock::now();
    const int made = KillRepeatedly(sites, kills, fast);
    const double killPhase = Since(t0);
    for (auto& site : sites) site->in.Start();
    const bool drained = WaitDrained(sites, 600);
    SleepMs(3000);  // the last windows unload and write their rows
    for (auto& site : sites) site->in.Terminate();

    Tally t;
    Count(rig.sites, rig.sink, t);
    std::printf(
        "fault_bench kill, %s profile: %d installations, %d kills in %.0f s, all drained: %s, "
        "total %.0f s\n",
        fast ? "fast" : "classic", n, made, killPhase, drained ? "yes" : "NO", Since(t0));
    PrintTally(t);
    std::printf("copies per 100 kills    %.1f\n", made > 0 ? 100.0 * t.twice / made : 0.0);
    return 0;
}

struct StormFigures {
    std::vector<double> reconnect;  // seconds from each return to the daemon's connection
    double awaySeconds = 0;         // the server away (dbstorm) or locked (lockstorm)
    int events = 0;
    std::vector<std::pair<WallTime, WallTime>> spans;  // each time away or locked
};

/// Kills and restarts, or locks and releases, the database server until the
/// queues are empty.
bool Storm(PrivateMariaDb& server, const Site& site, bool lock, int msMin, int msMax,
           StormFigures& f) {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> span(msMin, std::max(msMin, msMax));
    const auto t0 = Clock::now();
    while (site.in.QueuedPairs() > 0 && Since(t0) < 900) {
        SleepMs(span(rng));
        const auto down = Clock::now();
        const WallTime from = std::chrono::system_clock::now();
        ++f.events;
        if (lock) {
            GlobalReadLock held;
            if (!held.Hold(server.Port())) return false;
            SleepMs(span(rng));
            held.Release();
            f.awaySeconds += Since(down);
            f.spans.emplace_back(from, std::chrono::system_clock::now());
            continue;
        }
        server.Kill();
        SleepMs(300);
        if (!server.Start()) return false;
        f.awaySeconds += Since(down);
        f.spans.emplace_back(from, std::chrono::system_clock::now());
        const auto back = Clock::now();
        while (!site.Connected() && Since(back) < 60) SleepMs(20);
        f.reconnect.push_back(Since(back));
    }
    return true;
}

double Pct(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

/// The longest time without a new delivery, from the first delivery on (the
/// start's first scan is no hold-up), and where it lay against the storm.
void PrintGap(const DeliveryTimeline& timeline, WallTime drained, const StormFigures& f) {
    const auto at = timeline.Arrivals();
    if (at.empty()) return;
    WallTime gapAt;
    const double gap = timeline.LongestGap(at.front(), drained, &gapAt);
    std::string where = "outside every lock or outage";
    for (const auto& [from, to] : f.spans) {
        if (gapAt + std::chrono::milliseconds(static_cast<long>(gap * 1000)) < from || gapAt > to)
            continue;
        char text[96];
        std::snprintf(text, sizeof text, "overlapping one of %.1f s that began %+.2f s from it",
                      Seconds(from, to), Seconds(gapAt, from));
        where = text;
    }
    std::printf(
        "longest without a new delivery  %.2f s, %.1f s after the first delivery (%s); "
        "deliveries/s %.1f\n",
        gap, Seconds(at.front(), gapAt), where.c_str(),
        static_cast<double>(at.size()) / Seconds(at.front(), drained));
}

int RunStorm(bool fast, bool lock, int pairs, int msMin, int msMax) {
    Rig rig;
    if (!rig.Start()) return 1;
    Site& site = rig.Add("S", ProfileValues(fast));
    site.Fill(pairs, "s-");
    DeliveryTimeline timeline([&rig] { return rig.sink.Messages(); });
    const auto t0 = Clock::now();
    site.in.Start();
    StormFigures f;
    if (!Storm(rig.server, site, lock, msMin, msMax, f)) return 1;
    const double stormSeconds = Since(t0);
    WaitDrained(rig.sites, 300);
    const WallTime drained = std::chrono::system_clock::now();
    // The last rows and the spool: written back on the next ticks.
    const auto settle = Clock::now();
    while ((site.Spooled() > 0 || site.Number("SELECT COUNT(*) FROM tbl_minilog") < pairs) &&
           Since(settle) < 60) {
        SleepMs(200);
    }
    SleepMs(2000);
    site.in.Terminate();
    timeline.Stop();

    Tally t;
    Count(rig.sites, rig.sink, t);
    std::printf(
        "fault_bench %s, %s profile: %d %s in %.0f s (server %s %.0f s in all, %.1f s each)\n",
        lock ? "lockstorm" : "dbstorm", fast ? "fast" : "classic", f.events,
        lock ? "locks" : "restarts", stormSeconds, lock ? "locked" : "away", f.awaySeconds,
        f.events ? f.awaySeconds / f.events : 0.0);
    if (!lock) {
        std::printf("seconds to reconnect    median %.2f, p90 %.2f, max %.2f\n",
                    Pct(f.reconnect, 0.5), Pct(f.reconnect, 0.9), Pct(f.reconnect, 1.0));
    }
    PrintGap(timeline, drained, f);
    std::printf("journal: restores %d, spool warnings %d\n",
                site.JournalCount("Restored lost DB Connection!"),
                site.JournalCount("Audit spool"));
    PrintTally(t);
    return 0;
}

struct Args {
    std::vector<bool> profiles{false};
    std::vector<const char*> rest;
};

Args Parse(int argc, char** argv) {
    Args a;
    int i = 2;
    if (argc > 2 && std::strchr("cfb", argv[2][0]) != nullptr) {
        const std::string p = argv[2];
        a.profiles = p == "fast"   ? std::vector<bool>{true}
                     : p == "both" ? std::vector<bool>{false, true}
                                   : std::vector<bool>{false};
        i = 3;
    }
    for (; i < argc; ++i) a.rest.push_back(argv[i]);
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const Args a = Parse(argc, argv);
    auto arg = [&](std::size_t i, int def) {
        return a.rest.size() > i ? std::atoi(a.rest[i]) : def;
    };
    int rc = 0;
    for (const bool fast : a.profiles) {
        if (mode == "kill") {
            rc |= RunKill(fast, arg(0, 1200), arg(1, 200), std::max(1, arg(2, 4)));
        } else if (mode == "dbstorm" || mode == "lockstorm") {
            const bool lock = mode == "lockstorm";
            rc |= RunStorm(fast, lock, arg(0, 800), arg(1, lock ? 1000 : 1500),
                           arg(2, lock ? 4000 : 3500));
        } else if (mode == "galera") {
            rc |= RunGalera(fast, arg(0, 6), arg(1, fast ? 100 : 4),
                            a.rest.size() > 2 ? a.rest[2] : "");
        } else {
            std::fprintf(stderr,
                         "usage: fault_bench kill|dbstorm|lockstorm|galera [classic|fast|both] "
                         "[numbers...]\n");
            return 2;
        }
    }
    return rc;
}
