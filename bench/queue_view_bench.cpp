// The queue view of a busy installation: `bwtarnout --queue` and
// `bwtarnout --queue --json` over many queued pairs (spread over Inbox,
// Outbox and Inbox/BAD) with a full minilog lookback (kMinilogLookback rows,
// every tenth naming a queued pair), against the private MariaDB on loopback.
// Prints the median and worst wall time of each over several runs.
//
//   queue_view_bench [pairs=2000] [runs=5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/minilog_lookup.h"
#include "tests/support/installation.h"

namespace bw::test {
namespace {

std::string PairName(int i) {
    return "q" + std::to_string(i);
}

void Measure(const Installation& inst, const Strings& args, int runs, std::size_t& bytes) {
    std::vector<double> ms;
    for (int r = 0; r < runs; ++r) {
        std::string out, err;
        const auto t0 = std::chrono::steady_clock::now();
        const int status = inst.RunCommand(args, out, err);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
        if (status != 0 || !err.empty()) {
            std::fprintf(stderr, "status %d: %s\n", status, err.c_str());
            std::exit(1);
        }
        bytes = out.size();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-22s median %8.1f ms   worst %8.1f ms   (%zu bytes of output)\n",
                args.size() > 1 ? "--queue --json" : "--queue", ms[ms.size() / 2], ms.back(),
                bytes);
}

int Run(int pairs, int runs) {
    Installation inst(1);  // nobody listens; the daemon is not started
    const char* folders[] = {"Inbox/", "Outbox/", "Inbox/BAD/"};
    for (int i = 0; i < pairs; ++i) {
        inst.Queue(folders[i % 3], PairName(i),
                   Envelope("sender" + std::to_string(i) + "@ext.example",
                            {"a@corp.example", "b@corp.example"}));
    }
    for (int start = 0; start < kMinilogLookback; start += 1000) {
        std::string sql = "INSERT INTO tbl_minilog (ipaddress, action) VALUES ";
        for (int i = start; i < start + 1000; ++i) {
            const std::string name =
                i % 10 == 0 ? PairName(i / 10 % pairs) : "gone" + std::to_string(i);
            sql += std::string(i == start ? "" : ", ") +
                   "('BWTarnOut', '490 Peer Delivery DEFERRED " + name +
                   " (RCPT TO: 451 4.7.1 try again later)')";
        }
        inst.Exec(sql);
    }
    std::printf("%d pairs, %d minilog rows\n", pairs, kMinilogLookback);
    std::size_t bytes = 0;
    Measure(inst, {"--queue"}, runs, bytes);
    Measure(inst, {"--queue", "--json"}, runs, bytes);
    return 0;
}

}  // namespace
}  // namespace bw::test

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    return bw::test::Run(std::max(pairs, 1), std::max(runs, 1));
}
