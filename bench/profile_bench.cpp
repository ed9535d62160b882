// Delivery profiles side by side: Postfix's smtp-source, the daemon's classic
// profile and its fast profile (build/bwtarnout, an installation of its own
// per run, minilog and counter on the private MariaDB), all against one
// smtp-sink on 127.0.0.1 started by the bench.
//
//   profile_bench [messages=10000] [classic-messages=300] [big-megabytes=100]
//                 [watch-pairs=200] [max-sessions-sweep=5,20,40] [rounds=3]
//
// 1. smtp-source, 5 sessions and 1 session, `messages` messages of 2 KB, a
//    new connection per message.
// 2. The fast profile, `messages` pairs of 2 KB queued before the start, with
//    MaxSessions at its default and at each value of the sweep.
//    Steps 1 and 2 are run `rounds` times in turn (the machine's other load
//    falls on all alike) and summed up as medians.
// 3. The classic profile, `classic-messages` pairs of 2 KB, both queues busy:
//    the ratio to the cadence bound.
// 4. One message of `big-megabytes`, fast and classic, `rounds` times: the
//    body rate measured by the scripted sink (tests/support/smtp_peer.h;
//    smtp-sink cannot time a body).
// 5. The queue watch: `watch-pairs` pairs queued one at a time to the idle
//    fast daemon; from the close of the pair's second file to the daemon's
//    claim (its open of that file, seen through inotify).
// Rates run on the sink's clock from the run's first message to its last;
// CPU and peak memory are the daemon's own (or smtp-source's); rows and the
// count are taken once the audit is written.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/delivery_runs.h"
#include "bench/support/postfix_tools.h"
#include "delivery/profile.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace bw::bench;

constexpr int kSmallBytes = 2048;

struct Row {
    std::string name;
    DeliveryFigures f;
    double ratio = 0;  // fast: to smtp-source -s 5 of its round; classic: to the bound
};

double Rate(const DeliveryFigures& f) {
    return f.seconds > 0 ? f.messages / f.seconds : 0;
}

double CpuPerThousand(const DeliveryFigures& f) {
    return f.cpuSeconds * 1000.0 / f.messages;
}

void PrintHeader(const char* ratio) {
    std::printf(
        "| Run | Messages | Seconds | Messages/s | CPU s per 1,000 | Peak RSS (KB) | Minilog rows"
        " | Delivered count | %s |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n",
        ratio);
}

void PrintRow(const Row& r) {
    const DeliveryFigures& f = r.f;
    const std::string ratio = r.ratio > 0 ? std::to_string(r.ratio).substr(0, 5) : "";
    std::printf("| %s | %d | %.2f | %.1f | %.3f | %ld | %s | %s | %s |\n", r.name.c_str(),
                f.messages, f.seconds, Rate(f), CpuPerThousand(f), f.maxRssKb, f.rows.c_str(),
                f.delivered.c_str(), ratio.c_str());
    std::fflush(stdout);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

/// One line per kind of run: the median, lowest and highest rate of its rounds.
void PrintMedians(const std::vector<std::string>& order,
                  const std::map<std::string, std::vector<Row>>& runs) {
    std::printf(
        "\n| Run (medians of the rounds) | Rounds | Messages/s | Lowest–highest | CPU s per 1,000 |"
        " Peak RSS (KB, highest) | Ratio to smtp-source -s 5 | Every row and count |\n"
        "|---|---:|---:|---:|---:|---:|---:|---|\n");
    for (const std::string& name : order) {
        std::vector<double> rate, cpu, ratio;
        long rss = 0;
        bool all = true;
        for (const Row& r : runs.at(name)) {
            rate.push_back(Rate(r.f));
            cpu.push_back(CpuPerThousand(r.f));
            ratio.push_back(r.ratio);
            rss = std::max(rss, r.f.maxRssKb);
            all = all && r.f.all;
        }
        const auto [low, high] = std::minmax_element(rate.begin(), rate.end());
        const std::string r = Median(ratio) > 0 ? std::to_string(Median(ratio)).substr(0, 5) : "–";
        std::printf("| %s | %zu | %.1f | %.1f–%.1f | %.3f | %ld | %s | %s |\n", name.c_str(),
                    rate.size(), Median(rate), *low, *high, Median(cpu), rss, r.c_str(),
                    all ? "yes" : "NO");
    }
    std::fflush(stdout);
}

Row SourceRun(const PostfixSink& sink, int sessions, int messages) {
    const std::uint64_t before = sink.Messages();
    const ChildRun run = RunSmtpSource(sink.Port(), sessions, messages, kSmallBytes);
    sink.WaitMessages(before + static_cast<std::uint64_t>(messages), 10);
    Row r{"smtp-source -s " + std::to_string(sessions), {}, 0};
    r.f.messages = messages;
    r.f.seconds = sink.Span(before + 1, before + static_cast<std::uint64_t>(messages));
    r.f.cpuSeconds = run.cpuSeconds;
    r.f.maxRssKb = run.maxRssKb;
    r.f.rows = "–";
    r.f.delivered = std::to_string(sink.Messages() - before) + " at the sink";
    if (run.status != 0) r.f.delivered += " (exit " + std::to_string(run.status) + ")";
    r.f.all = run.status == 0 && sink.Messages() - before == static_cast<std::uint64_t>(messages);
    return r;
}

Row FastRun(const PostfixSink& sink, int messages, int maxSessions) {
    ServerValues values{{"Profile", "fast"}};
    std::string name = "fast, MaxSessions " + std::to_string(maxSessions);
    if (maxSessions == bw::kFastMaxSessions) {
        name += " (default)";
    } else {
        values.emplace_back("MaxSessions", std::to_string(maxSessions));
    }
    Installation inst(sink.Port(), BenchOptions(values));
    QueueSmall(inst, messages, SmallBody(kSmallBytes));
    const std::uint64_t before = sink.Messages();
    const std::uint64_t last = before + static_cast<std::uint64_t>(messages);
    inst.Start();
    sink.WaitMessages(last, 60 + messages / 20.0, [&inst] { return inst.Running(); });
    const double seconds = sink.Span(before + 1, std::min(last, sink.Messages()));
    return {name, Finish(inst, messages, seconds), 0};
}

std::vector<int> Sweep(const char* list) {
    std::vector<int> values{bw::kFastMaxSessions};
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        const int n = std::atoi(item.c_str());
        if (n > 0 && std::find(values.begin(), values.end(), n) == values.end()) {
            values.push_back(n);
        }
    }
    return values;
}

/// The body rate of one big message, fast and classic in turn, `rounds` times.
bool BodyRates(int megabytes, int rounds) {
    bw::test::SmtpPeer sink;
    sink.KeepBodies(false);
    sink.Start();
    std::printf(
        "\n| Body, one %d MB message | Body rate (MB/s) | CPU s | Peak RSS (KB) | All |\n"
        "|---|---:|---:|---:|---|\n",
        megabytes);
    std::vector<double> rates[2];
    bool all = true;
    for (int round = 0; round < rounds; ++round) {
        for (const bool fast : {true, false}) {
            const BodyFigures b = RunBigMessage(
                sink, megabytes, fast ? ServerValues{{"Profile", "fast"}} : ServerValues{});
            rates[fast ? 0 : 1].push_back(b.megabytes / b.bodySeconds);
            all = all && b.all;
            std::printf("| %s | %.1f | %.3f | %ld | %s |\n", fast ? "fast" : "classic",
                        rates[fast ? 0 : 1].back(), b.cpuSeconds, b.maxRssKb, b.all ? "yes" : "NO");
            std::fflush(stdout);
        }
    }
    for (const int i : {0, 1}) {
        std::printf("| %s, median (highest) of %d | %.1f (%.1f) | | | |\n",
                    i == 0 ? "fast" : "classic", rounds, Median(rates[i]),
                    *std::max_element(rates[i].begin(), rates[i].end()));
    }
    sink.Stop();
    return all;
}

/// Queues a pair by hand, the envelope first, and waits for the daemon to open
/// the message: its claim (the envelope is claimed just before). Milliseconds
/// from the message's close to that open; -1 when none came within 2 s. The
/// open is seen through inotify, set on the message before it is complete, so
/// the probe neither misses a short claim nor takes a lock the daemon wants.
double ClaimDelay(const std::string& base) {
    std::string dat;
    for (const std::string& l : BenchEnvelope()) dat += l + "\r\n";
    bw::test::WriteFile(base + ".dat", dat);
    const std::string msg = "X-Queue: 1\r\n" + SmallBody(kSmallBytes);
    const int fd = ::open((base + ".msg").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(watch, (base + ".msg").c_str(), IN_OPEN);
    const bool written = ::write(fd, msg.data(), msg.size()) == static_cast<ssize_t>(msg.size());
    ::close(fd);
    const Clock::time_point closed = Clock::now();
    pollfd p{watch, POLLIN, 0};
    const bool opened = written && ::poll(&p, 1, 2000) == 1;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - closed).count();
    ::close(watch);
    return opened ? ms : -1;
}

void PrintLatency(std::vector<double> ms, int missed) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&ms](double q) {
        return ms.empty() ? 0.0
                          : ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))];
    };
    std::printf("\n| Queue watch, close of the second file to the claim | Figure |\n|---|---:|\n");
    std::printf("| pairs measured | %zu (not claimed within 2 s: %d) |\n", ms.size(), missed);
    std::printf("| median | %.3f ms |\n| p90 | %.3f ms |\n| p99 | %.3f ms |\n| max | %.3f ms |\n",
                at(0.5), at(0.9), at(0.99), ms.empty() ? 0.0 : ms.back());
}

/// The idle fast daemon, pairs queued one at a time, each delivered before the next.
bool WatchLatency(const PostfixSink& sink, int pairs) {
    Installation inst(sink.Port(), BenchOptions({{"Profile", "fast"}}));
    inst.Queue("Inbox/", "Warm", BenchEnvelope(), SmallBody(kSmallBytes));
    std::uint64_t expect = sink.Messages() + 1;
    inst.Start();
    sink.WaitMessages(expect, 30, [&inst] { return inst.Running(); });
    std::vector<double> ms;
    int missed = 0;
    for (int i = 0; i < pairs && inst.Running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        char name[32];
        std::snprintf(name, sizeof name, "Inbox/W%05d", i);
        const double delay = ClaimDelay(inst.Acc() + name);
        delay < 0 ? ++missed : (ms.push_back(delay), 0);
        sink.WaitMessages(++expect, 30);
    }
    const DeliveryFigures f = Finish(inst, pairs + 1, 0);
    PrintLatency(ms, missed);
    std::printf("| minilog rows / delivered count | %s / %s of %d |\n", f.rows.c_str(),
                f.delivered.c_str(), pairs + 1);
    return f.all && missed == 0;
}

/// Rounds of smtp-source and the fast profile, interleaved so that the
/// machine's other load falls on all of them alike; every run, then the medians.
bool SideBySide(const PostfixSink& sink, int messages, const std::vector<int>& sweep, int rounds) {
    std::vector<std::string> order;
    std::map<std::string, std::vector<Row>> runs;
    bool all = true;
    const auto keep = [&](const Row& r) {
        if (runs.count(r.name) == 0) order.push_back(r.name);
        runs[r.name].push_back(r);
        all = all && r.f.all;
        PrintRow(r);
    };
    PrintHeader("Ratio to smtp-source -s 5");
    for (int round = 0; round < rounds; ++round) {
        const Row five = SourceRun(sink, 5, messages);
        keep(five);
        keep(SourceRun(sink, 1, messages));
        for (const int n : sweep) {
            Row r = FastRun(sink, messages, n);
            r.ratio = Rate(r.f) / Rate(five.f);
            keep(r);
        }
    }
    PrintMedians(order, runs);
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int classic = argc > 2 ? std::atoi(argv[2]) : 300;
    const int bigMb = argc > 3 ? std::atoi(argv[3]) : 100;
    const int watchPairs = argc > 4 ? std::atoi(argv[4]) : 200;
    const std::vector<int> sweep = Sweep(argc > 5 ? argv[5] : "5,20,40");
    const int rounds = std::max(1, argc > 6 ? std::atoi(argv[6]) : 3);
    PostfixSink sink;
    if (!sink.Start()) return 2;
    std::printf("smtp-sink on 127.0.0.1:%d; small messages of %d bytes\n\n", sink.Port(),
                kSmallBytes);
    bool all = SideBySide(sink, messages, sweep, rounds);
    std::printf("\n");
    PrintHeader("Ratio to the bound (5/s)");
    Row c{"classic",
          RunClassic(
              sink.Port(), [&sink] { return sink.Messages(); }, classic, SmallBody(kSmallBytes)),
          0};
    c.ratio = Rate(c.f) / kBoundPerSecond;
    all = all && c.f.all;
    PrintRow(c);
    all = BodyRates(bigMb, rounds) && all;
    all = WatchLatency(sink, watchPairs) && all;
    sink.Stop();
    return all ? 0 : 1;
}
