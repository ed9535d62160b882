// Fault runs of the real daemon (build/bwtarnout) against a counting SMTP
// sink and a private MariaDB, both on 127.0.0.1.
//
//   fault_bench kill    [pairs=1200] [kills=200] [installations=4]
//   fault_bench dbstorm [pairs=800] [up-ms-min=1500] [up-ms-max=3500]
//
// kill: each installation (application folder, state folder, database of its
// own, all sharing one server and one sink) queues pairs/installations
// pairs; its daemon is started and killed with SIGKILL at a random moment
// 4.5 to 7.5 s after each start (the first scan comes 5 s after a start, so
// most kills land among conversations and filings), until `kills` kills have
// been made; then every daemon runs undisturbed until its queues are empty.
// Prints lost, sent twice, stranded, and the minilog rows and counts against
// deliveries.
//
// dbstorm: one installation; while its pairs are delivered the database is
// killed (SIGKILL) after running up-ms-min to up-ms-max milliseconds, and
// started again 0.3 s later. Prints
// rows and counts against deliveries and the seconds from the server's
// return to the daemon's connection.
//
// The sink records a message when its "." line has arrived, before its 250
// reply: from then on the server has taken it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/installation.h"
#include "tests/support/mariadb_server.h"
#include "tests/support/smtp_peer.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using bw::test::Installation;
using bw::test::PrivateMariaDb;
using bw::test::SmtpPeer;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void SleepMs(long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

/// Every message's "X-Id:" header, counted when its end of data arrived.
std::map<std::string, int> Received(const SmtpPeer& sink) {
    std::map<std::string, int> got;
    for (const std::string& body : sink.Bodies()) {
        const auto at = body.find("X-Id: ");
        if (at == std::string::npos || !body.ends_with("\r\n.\r\n")) continue;
        ++got[body.substr(at + 6, body.find("\r\n", at) - at - 6)];
    }
    return got;
}

// One gateway installation with its own folders, database and daemon, and
// the messages it was given.
struct Site {
    Site(const std::string& tag, int smtpPort, int dbPort)
        : in(smtpPort, {.dbPort = dbPort,
                        .tarnId = "F" + tag,
                        .smtpLog = false,
                        .useTrash = true,
                        .serverValues = {}}) {}

    void Queue(const std::string& folder, const std::string& id) {
        in.Queue(folder, id, bw::test::Envelope("sender@ext.example", {"rcpt@corp.example"}),
                 "X-Id: " + id + "\r\nSubject: fault " + id + "\r\n\r\n" + std::string(2000, 'f') +
                     "\r\n");
        ids.push_back(id);
    }
    /// Queues `pairs` messages, in the Inbox and the Outbox by turns.
    void Fill(int pairs, const std::string& prefix) {
        for (int i = 0; i < pairs; ++i) {
            Queue(i % 2 == 0 ? "Inbox/" : "Outbox/", prefix + std::to_string(10000 + i));
        }
    }
    long Number(const std::string& sql) const { return std::stol(in.Scalar(sql)); }
    /// True while the daemon holds a connection to its database.
    bool Connected() const {
        return Number("SELECT COUNT(*) FROM information_schema.processlist WHERE db = '" + in.Db() +
                      "' AND id <> CONNECTION_ID()") != 0;
    }
    /// Records waiting in the audit spool (lines after its header).
    long Spooled() const {
        const std::string s = bw::test::ReadFile(in.StateDir() + "audit.spool");
        const long lines = static_cast<long>(std::count(s.begin(), s.end(), '\n'));
        return lines > 0 ? lines - 1 : 0;
    }
    int JournalCount(const std::string& part) const {
        const std::string log = in.DaemonLog();
        int n = 0;
        for (std::size_t p = log.find(part); p != std::string::npos; p = log.find(part, p + 1)) ++n;
        return n;
    }

    Installation in;
    std::vector<std::string> ids;
};
using Sites = std::vector<std::unique_ptr<Site>>;

// One run's private database server, sink and installations (gone in that
// order: the installations drop their databases first).
struct Rig {
    bool Start() {
        sink.Start();
        return server.Start();
    }
    Site& Add(const std::string& tag) {
        sites.push_back(std::make_unique<Site>(tag, sink.Port(), server.Port()));
        return *sites.back();
    }
    PrivateMariaDb server;
    SmtpPeer sink;
    Sites sites;
};

struct Tally {
    long queued = 0, unique = 0, receipts = 0, twice = 0, lost = 0, stranded = 0, lone = 0;
    long setAside = 0, rows = 0, allRows = 0, counted = 0, doubledRows = 0, spooled = 0;
};

void Count(const Sites& sites, const SmtpPeer& sink, Tally& t) {
    const auto got = Received(sink);
    for (const auto& site : sites) {
        int lone = 0;
        t.stranded += site->in.QueuedPairs(&lone);
        t.lone += lone;
        t.setAside += site->in.Files("Inbox/BAD/", ".msg") + site->in.Files("Outbox/BAD/", ".msg");
        t.rows += site->Number("SELECT COUNT(*) FROM tbl_minilog WHERE action LIKE '900 %'");
        t.allRows += site->Number("SELECT COUNT(*) FROM tbl_minilog");
        t.counted += std::stol(site->in.Delivered());
        // Rows for the same message more than once.
        t.doubledRows += site->Number(
            "SELECT COALESCE(SUM(n - 1), 0) FROM (SELECT COUNT(*) n FROM "
            "tbl_minilog WHERE action LIKE '900 %' GROUP BY action) t");
        t.spooled += site->Spooled();
        for (const auto& id : site->ids) {
            ++t.queued;
            const auto it = got.find(id);
            if (it == got.end()) continue;
            ++t.unique;
            t.receipts += it->second;
            t.twice += it->second - 1;
        }
    }
    t.lost = t.queued - t.unique - t.stranded - t.setAside;
}

void PrintTally(const Tally& t) {
    std::printf("pairs queued            %ld\n", t.queued);
    std::printf("delivered (unique)      %ld\n", t.unique);
    std::printf("deliveries (receipts)   %ld\n", t.receipts);
    std::printf("sent twice              %ld\n", t.twice);
    std::printf("lost                    %ld\n", t.lost);
    std::printf("stranded (still queued) %ld\n", t.stranded);
    std::printf("lone envelopes          %ld\n", t.lone);
    std::printf("set aside to BAD        %ld\n", t.setAside);
    std::printf("minilog 900 rows        %ld  (all rows %ld, same message twice %ld)\n", t.rows,
                t.allRows, t.doubledRows);
    std::printf("delivered count         %ld\n", t.counted);
    std::printf("rows - receipts         %+ld\n", t.rows - t.receipts);
    std::printf("count - receipts        %+ld\n", t.counted - t.receipts);
    std::printf("left in the spools      %ld\n", t.spooled);
}

bool WaitDrained(const Sites& sites, int seconds) {
    const auto t0 = Clock::now();
    while (Since(t0) < seconds) {
        int q = 0;
        for (const auto& site : sites) q += site->in.QueuedPairs();
        if (q == 0) return true;
        SleepMs(200);
    }
    return false;
}

/// Kills each daemon at a random moment after each start until `kills` are made.
int KillRepeatedly(Sites& sites, int kills) {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> after(4500, 7500);
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

int RunKill(int pairs, int kills, int n) {
    Rig rig;
    if (!rig.Start()) return 1;
    for (int k = 0; k < n; ++k)
        rig.Add(std::to_string(k)).Fill(pairs / n, "k" + std::to_string(k) + "-");
    Sites& sites = rig.sites;
    const auto t0 = Clock::now();
    const int made = KillRepeatedly(sites, kills);
    const double killPhase = Since(t0);
    for (auto& site : sites) site->in.Start();
    const bool drained = WaitDrained(sites, 600);
    SleepMs(3000);  // the last windows unload and write their rows
    for (auto& site : sites) site->in.Terminate();

    Tally t;
    Count(rig.sites, rig.sink, t);
    std::printf(
        "fault_bench kill: %d installations, %d kills in %.0f s, all drained: %s, "
        "total %.0f s\n",
        n, made, killPhase, drained ? "yes" : "NO", Since(t0));
    PrintTally(t);
    return 0;
}

/// Kills and restarts the database server until the queues are empty; the
/// seconds from each return to the daemon's connection go to `reconnect`.
bool Storm(PrivateMariaDb& server, const Site& site, int upMin, int upMax,
           std::vector<double>& reconnect, double& downSeconds) {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> up(upMin, std::max(upMin, upMax));
    const auto t0 = Clock::now();
    while (site.in.QueuedPairs() > 0 && Since(t0) < 900) {
        SleepMs(up(rng));
        const auto down = Clock::now();
        server.Kill();
        SleepMs(300);
        if (!server.Start()) return false;
        downSeconds += Since(down);
        const auto back = Clock::now();
        while (!site.Connected() && Since(back) < 60) SleepMs(20);
        reconnect.push_back(Since(back));
    }
    return true;
}

int RunDbStorm(int pairs, int upMin, int upMax) {
    Rig rig;
    if (!rig.Start()) return 1;
    Site& site = rig.Add("S");
    site.Fill(pairs, "s-");
    const auto t0 = Clock::now();
    site.in.Start();
    std::vector<double> reconnect;
    double downSeconds = 0;
    if (!Storm(rig.server, site, upMin, upMax, reconnect, downSeconds)) return 1;
    const double stormSeconds = Since(t0);
    WaitDrained(rig.sites, 300);
    // The last rows and the spool: written back on the next ticks.
    const auto settle = Clock::now();
    while ((site.Spooled() > 0 || site.Number("SELECT COUNT(*) FROM tbl_minilog") < pairs) &&
           Since(settle) < 30) {
        SleepMs(200);
    }
    SleepMs(2000);
    site.in.Terminate();

    Tally t;
    Count(rig.sites, rig.sink, t);
    std::sort(reconnect.begin(), reconnect.end());
    auto pct = [&](double p) {
        return reconnect.empty() ? 0.0
                                 : reconnect[static_cast<std::size_t>(p * (reconnect.size() - 1))];
    };
    const int restarts = static_cast<int>(reconnect.size());
    std::printf(
        "fault_bench dbstorm: %d restarts in %.0f s (server away %.0f s in all, %.1f s "
        "per restart)\n",
        restarts, stormSeconds, downSeconds, restarts ? downSeconds / restarts : 0.0);
    std::printf("seconds to reconnect    median %.2f, p90 %.2f, max %.2f\n", pct(0.5), pct(0.9),
                pct(1.0));
    std::printf("journal: restores %d, spool warnings %d\n",
                site.JournalCount("Restored lost DB Connection!"),
                site.JournalCount("Audit spool"));
    PrintTally(t);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    auto arg = [&](int i, int def) { return argc > i ? std::atoi(argv[i]) : def; };
    if (mode == "kill") return RunKill(arg(2, 1200), arg(3, 200), std::max(1, arg(4, 4)));
    if (mode == "dbstorm") return RunDbStorm(arg(2, 800), arg(3, 1500), arg(4, 3500));
    std::fprintf(stderr,
                 "usage: fault_bench kill [pairs=1200] [kills=200] [installations=4]\n"
                 "       fault_bench dbstorm [pairs=800] [up-ms-min=1500] [up-ms-max=3500]\n");
    return 2;
}
