// Delivery profiles side by side: Postfix's smtp-source, the daemon's classic
// profile and its fast profile (build/bwtarnout, an installation of its own
// per run, minilog and counter on the private MariaDB), against one smtp-sink
// on 127.0.0.1 and against a real Postfix, both started by the bench.
//
//   profile_bench [messages=10000] [classic-messages=300] [big-megabytes=100]
//                 [watch-pairs=200] [max-sessions-sweep=20] [rounds=3]
//                 [postfix-messages=2000] [postfix-in-flow-delay]
//
// 1. Into smtp-sink, `messages` messages of 2 KB each: smtp-source with 20
//    sessions, a new connection per message ("-s 20"); smtp-source with 20
//    sessions that each keep their connection for all their messages
//    ("-d -s 20"); the fast profile, as many pairs queued before the start,
//    MaxSessions at its default (20) and at each further value of the sweep
//    (a list such as 5,20,40; the default is no sweep).
// 2. Into a private Postfix (bench/support/postfix_server.h: smtpd on a free
//    port of 127.0.0.1, every transport "discard", started with
//    `postfix -c DIR start` in a temporary folder and stopped at the end),
//    `postfix-messages` messages of 2 KB each: the same two smtp-source runs
//    and the fast profile at its default; 0 leaves this part out. Postfix
//    keeps its own in_flow_delay (1s: a message waits up to that long while
//    arrivals outrun its deliveries) unless `postfix-in-flow-delay` is
//    given (0s: no such wait).
//    Steps 1 and 2 are run `rounds` times in turn (the machine's other load
//    falls on all alike) and summed up as medians, the fast profile's rate as
//    a ratio to each smtp-source run of its round.
// 3. The classic profile, `classic-messages` pairs of 2 KB, both queues busy:
//    the ratio to the cadence bound.
// 4. One message of `big-megabytes`, fast and classic, `rounds` times: the
//    body rate measured by the scripted sink (tests/support/smtp_peer.h;
//    smtp-sink cannot time a body).
// 5. The queue watch: `watch-pairs` pairs queued one at a time to the idle
//    fast daemon; from the close of the pair's second file to the daemon's
//    claim (its open of that file, seen through inotify).
// How the rates are timed:
// - into smtp-sink, on the sink's clock from the run's first message to its
//   last (the sink reports each as it takes it), for smtp-source and the
//   daemon alike;
// - into Postfix, which cannot report arrivals as they happen, on the sending
//   side: smtp-source's wall time from its start to its exit (every message
//   answered with 250, the sessions ended); for the daemon, from the filing of
//   its first delivered pair to that of its last (a pair leaves the Inbox once
//   its 250 is read; bench/support/filing_watch.h). A Postfix run counts as
//   complete when the discard agent has logged every message "status=sent",
//   and the next run starts only then.
// CPU and peak memory are the daemon's own (or smtp-source's; never the
// server's); rows and the count are taken once the audit is written.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/delivery_runs.h"
#include "bench/support/postfix_server.h"
#include "bench/support/postfix_tools.h"
#include "bench/support/profile_rounds.h"
#include "delivery/profile.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace bw::bench;

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

/// The fast profile's rate as a ratio to each smtp-source run of its round.
Row Against(Row fast, const Row& newConnections, const Row& keptConnections) {
    fast.ratios.clear();
    for (const Row* source : {&newConnections, &keptConnections}) {
        fast.ratios.push_back(Rate(source->f) > 0 ? Rate(fast.f) / Rate(source->f) : 0);
    }
    return fast;
}

/// Rounds of smtp-source and the fast profile into smtp-sink and then into
/// Postfix (when given), interleaved so that the machine's other load falls
/// on all of them alike; every run, then the medians.
bool SideBySide(const PostfixSink& sink, PostfixServer* postfix, int messages, int postfixMessages,
                const std::vector<int>& sweep, int rounds) {
    const int sessions = bw::kFastMaxSessions;
    RunTable table(
        {"Ratio to " + SourceName(sessions, false), "Ratio to " + SourceName(sessions, true)});
    for (int round = 0; round < rounds; ++round) {
        const Row perMessage = SourceToSink(sink, sessions, false, messages);
        const Row kept = SourceToSink(sink, sessions, true, messages);
        table.Keep(perMessage);
        table.Keep(kept);
        for (const int n : sweep)
            table.Keep(Against(FastToSink(sink, messages, n), perMessage, kept));
        if (postfix == nullptr) continue;
        const Row pfPerMessage = SourceToPostfix(*postfix, sessions, false, postfixMessages);
        const Row pfKept = SourceToPostfix(*postfix, sessions, true, postfixMessages);
        table.Keep(pfPerMessage);
        table.Keep(pfKept);
        table.Keep(Against(FastToPostfix(*postfix, postfixMessages), pfPerMessage, pfKept));
    }
    table.PrintMedians();
    return table.All();
}

/// Starts the private Postfix unless its part is left out; false on failure.
bool StartPostfix(PostfixServer& postfix, int messages, const char* inFlowDelay) {
    if (messages <= 0) return true;
    PostfixServer::Settings settings;
    if (inFlowDelay != nullptr && *inFlowDelay != '\0') {
        settings.emplace_back("in_flow_delay", inFlowDelay);
    }
    if (!postfix.Start(settings)) return false;
    std::printf("Postfix (discard) on 127.0.0.1:%d, in_flow_delay %s\n", postfix.Port(),
                settings.empty() ? "as Postfix sets it (1s)" : inFlowDelay);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int classic = argc > 2 ? std::atoi(argv[2]) : 300;
    const int bigMb = argc > 3 ? std::atoi(argv[3]) : 100;
    const int watchPairs = argc > 4 ? std::atoi(argv[4]) : 200;
    const std::vector<int> sweep = Sweep(argc > 5 ? argv[5] : "");
    const int rounds = std::max(1, argc > 6 ? std::atoi(argv[6]) : 3);
    const int postfixMessages = argc > 7 ? std::atoi(argv[7]) : 2000;
    PostfixSink sink;
    if (!sink.Start()) return 2;
    std::printf("smtp-sink on 127.0.0.1:%d; small messages of %d bytes\n", sink.Port(),
                kSmallBytes);
    PostfixServer postfix;
    if (!StartPostfix(postfix, postfixMessages, argc > 8 ? argv[8] : nullptr)) return 2;
    std::printf("\n");
    bool all = SideBySide(sink, postfixMessages > 0 ? &postfix : nullptr, messages, postfixMessages,
                          sweep, rounds);
    postfix.Stop();
    std::printf("\n");
    PrintHeader({"Ratio to the bound (5/s)"});
    Row c{"smtp-sink",
          "classic",
          RunClassic(
              sink.Port(), [&sink] { return sink.Messages(); }, classic, SmallBody(kSmallBytes)),
          {}};
    c.ratios = {Rate(c.f) / kBoundPerSecond};
    all = all && c.f.all;
    PrintRow(c);
    all = BodyRates(bigMb, rounds) && all;
    all = WatchLatency(sink, watchPairs) && all;
    sink.Stop();
    return all ? 0 : 1;
}
