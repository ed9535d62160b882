// A write-locked database against deliveries: the real daemon
// (build/bwtarnout) delivers to a sink on 127.0.0.1 while a private MariaDB
// (of this bench alone) is held under FLUSH TABLES WITH READ LOCK for a
// while, against the same run without the lock; both profiles.
//
//   writelock_bench [classic-pairs=200] [fast-pairs=40000] [lock-seconds=15]
//
// A profile given 0 pairs is left out.
//
// Each run queues its pairs (classic: in the Inbox, with a pair locked
// elsewhere in the Outbox so that both queues keep their 500 ms scan) and
// starts the daemon; once the sink has the first messages (classic 10, fast
// 2,000) the window opens: `lock-seconds` long, with the lock held through
// it in the locked run. Printed: messages per second in the window, the
// ratio locked / unlocked, the longest time without a new message in it;
// then the lag from the sink's end of data to the minilog row in the table
// (its insertion time, stamped by a trigger with the server's clock; the
// k-th row against the k-th message), median, p99 and max, and every row
// and count written in the end.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/db_lock.h"
#include "bench/support/delivery_runs.h"
#include "bench/support/delivery_timeline.h"
#include "tests/support/installation.h"
#include "tests/support/mariadb_server.h"
#include "tests/support/smtp_peer.h"

namespace {

using namespace bw::bench;
using bw::test::PrivateMariaDb;
using bw::test::SmtpPeer;

struct Figures {
    double rate = 0;          // messages per second in the window
    double gap = 0;           // longest time in the window without a new message
    bool drained = false;     // the queue ran out before the window ended
    double catchUp = 0;       // from the release until the rows delivered by then are in
    std::vector<double> lag;  // seconds, end of data to the row, per message
    bool all = false;         // every row and count in the end
};

struct Run {
    bool fast = false;
    bool locked = false;
    int pairs = 0;
    int lockSeconds = 15;
};

// Stamps each minilog row with the moment the server inserted it.
void AddArrivalTrigger(const Installation& inst) {
    inst.Exec("CREATE TABLE bench_arrival (id INT AUTO_INCREMENT PRIMARY KEY, at DOUBLE)");
    inst.Exec(
        "CREATE TRIGGER bench_arrival_t AFTER INSERT ON tbl_minilog FOR EACH ROW "
        "INSERT INTO bench_arrival (at) VALUES (UNIX_TIMESTAMP(SYSDATE(6)))");
}

std::vector<double> Lags(int port, const Installation& inst, const DeliveryTimeline& timeline) {
    const std::vector<WallTime> sink = timeline.Arrivals();
    const auto rows = bw::test::Query(port, inst.Db(), "SELECT at FROM bench_arrival ORDER BY id");
    std::vector<double> lag;
    for (std::size_t k = 0; k < rows.size() && k < sink.size(); ++k) {
        if (rows[k].empty() || !rows[k][0]) continue;
        const double sinkAt = std::chrono::duration<double>(sink[k].time_since_epoch()).count();
        lag.push_back(std::atof(rows[k][0]->c_str()) - sinkAt);
    }
    return lag;
}

int Number(const std::string& s) {
    return s.empty() ? 0 : std::atoi(s.c_str());
}

/// Waits until the sink has `n` messages since `base` or `seconds` pass.
bool WaitSink(const SmtpPeer& sink, std::uint64_t base, std::uint64_t n, double seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    while (sink.Messages() - base < n) {
        if (std::chrono::steady_clock::now() - t0 > std::chrono::duration<double>(seconds))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

/// The window: opened once the first messages are in, held locked or not.
void Window(const Run& run, PrivateMariaDb& server, const SmtpPeer& sink,
            const DeliveryTimeline& timeline, std::uint64_t base, Figures& f, WallTime& end) {
    WaitSink(sink, base, run.fast ? 2000 : 10, 120);
    GlobalReadLock lock;
    const WallTime start = std::chrono::system_clock::now();
    if (run.locked && !lock.Hold(server.Port())) std::fprintf(stderr, "no lock taken\n");
    end = start + std::chrono::seconds(run.lockSeconds);
    std::this_thread::sleep_until(end);
    lock.Release();
    const std::vector<WallTime> at = timeline.Arrivals();
    f.drained = sink.Messages() - base >= static_cast<std::uint64_t>(run.pairs);
    const WallTime last = f.drained && !at.empty() ? std::min(end, at.back()) : end;
    const double span = Seconds(start, last);
    f.rate = span > 0 ? timeline.CountIn(start, end) / span : 0;
    f.gap = timeline.LongestGap(start, last);
}

/// Seconds from `from` until the table holds `rows` minilog rows.
double WaitRows(const Installation& inst, long rows, WallTime from) {
    for (int i = 0; i < 6000; ++i) {
        if (Number(inst.Scalar("SELECT COUNT(*) FROM tbl_minilog")) >= rows) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Seconds(from, std::chrono::system_clock::now());
}

Figures Measure(const Run& run) {
    PrivateMariaDb server;
    SmtpPeer sink;
    sink.KeepBodies(false);
    sink.Start();
    Figures f;
    if (!server.Start()) return f;
    ServerValues values;
    if (run.fast) values.emplace_back("Profile", "fast");
    bw::test::InstallationOptions options = BenchOptions(values);
    options.dbPort = server.Port();
    Installation inst(sink.Port(), options);
    AddArrivalTrigger(inst);
    const std::string body = SmallBody(600);
    QueueSmall(inst, run.pairs, body);
    int held = -1;
    if (!run.fast) {
        inst.Queue("Outbox/", "Held", BenchEnvelope(), body);
        held = ::open((inst.Acc() + "Outbox/Held.dat").c_str(), O_RDONLY | O_CLOEXEC);
        ::flock(held, LOCK_EX);
    }
    const std::uint64_t base = sink.Messages();
    DeliveryTimeline timeline([&sink] { return sink.Messages(); });
    inst.Start();
    WallTime end;
    Window(run, server, sink, timeline, base, f, end);
    // The rows of what was delivered until the lock's release.
    f.catchUp = WaitRows(inst, static_cast<long>(sink.Messages() - base), end);
    WaitSink(sink, base, static_cast<std::uint64_t>(run.pairs), 60 + run.pairs / 4.0);
    f.all = WaitAudit(inst, run.pairs, 120);
    timeline.Stop();
    f.lag = Lags(server.Port(), inst, timeline);
    inst.Terminate();
    f.all = f.all && Number(inst.Scalar("SELECT COUNT(*) FROM tbl_minilog")) == run.pairs &&
            Number(inst.Delivered()) == run.pairs;
    if (held >= 0) ::close(held);
    sink.Stop();
    return f;
}

double At(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

void Print(const char* profile, const Figures& open, const Figures& locked, int lockSeconds) {
    std::printf("| %s | %.2f | %.2f | %.3f | %.2f s | %.2f s | %s%s |\n", profile, open.rate,
                locked.rate, open.rate > 0 ? locked.rate / open.rate : 0.0, open.gap, locked.gap,
                open.all && locked.all ? "yes" : "NO",
                open.drained || locked.drained ? " (queue ran out in the window)" : "");
    std::printf(
        "|   lag, healthy database | median %.1f ms | p99 %.1f ms | max %.1f ms | rows %zu |"
        " locked run: lag max %.1f s; rows of the window in %.2f s after the release (%d s lock) "
        "|\n",
        At(open.lag, 0.5) * 1e3, At(open.lag, 0.99) * 1e3, At(open.lag, 1.0) * 1e3, open.lag.size(),
        At(locked.lag, 1.0), locked.catchUp, lockSeconds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int classicPairs = argc > 1 ? std::atoi(argv[1]) : 200;
    const int fastPairs = argc > 2 ? std::atoi(argv[2]) : 40000;
    const int lockSeconds = argc > 3 ? std::atoi(argv[3]) : 15;
    std::printf(
        "| Profile | Messages/s, no lock | Messages/s, %d s lock | Ratio (goal >= 0.9) |"
        " Longest gap, no lock | Longest gap, locked | Every row and count |\n"
        "|---|---:|---:|---:|---:|---:|---|\n",
        lockSeconds);
    bool ok = true;
    for (const bool fast : {false, true}) {
        const int pairs = fast ? fastPairs : classicPairs;
        if (pairs <= 0) continue;  // that profile left out
        const Figures open = Measure({fast, false, pairs, lockSeconds});
        const Figures locked = Measure({fast, true, pairs, lockSeconds});
        Print(fast ? "fast" : "classic", open, locked, lockSeconds);
        ok = ok && open.all && locked.all && locked.rate >= 0.9 * open.rate;
    }
    return ok ? 0 : 1;
}
