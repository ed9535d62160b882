// Delivery benchmark: the real daemon (build/bwtarnout, an installation of its
// own with a database on the private MariaDB) against a local SMTP sink on
// 127.0.0.1.
//
//   delivery_bench [small-count] [big-megabytes]     (defaults 1000 and 100)
//
// Scenario 1: small-count small pairs in the Inbox (the Outbox holds a pair in
// delivery elsewhere, so both queues hold work and the scan keeps its 500 ms
// interval). Prints messages/s from the daemon's first scan to the last
// message at the sink, the bound that the timer cadence allows, the ratio, CPU
// seconds and peak RSS per 1,000 messages.
// Scenario 2: one message of big-megabytes. Prints the body rate (sink clock,
// DATA reply to end of data) and the peak RSS.
// Each scenario runs a daemon started afresh, so CPU and peak memory are the
// delivery's alone. What it shares with profile_bench is in bench/support/.
#include <cstdio>
#include <cstdlib>

#include "bench/support/delivery_runs.h"
#include "tests/support/smtp_peer.h"

namespace {

using namespace bw::bench;

int BigMessage(const bw::test::SmtpPeer& sink, int bigMb) {
    const BodyFigures b = RunBigMessage(sink, bigMb, {});
    std::printf("big message: %.1f MB delivered in %.2f s after the first scan (%s)\n", b.megabytes,
                b.seconds, b.all ? "all" : "NOT ALL");
    std::printf("  body rate           %.1f MB/s (DATA reply to end of data, target >= 100)\n",
                b.megabytes / b.bodySeconds);
    std::printf("  CPU                 %.3f s\n", b.cpuSeconds);
    std::printf("  peak RSS            %ld KB\n", b.maxRssKb);
    return b.all ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int small = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int bigMb = argc > 2 ? std::atoi(argv[2]) : 100;
    bw::test::SmtpPeer sink;
    sink.KeepBodies(false);
    sink.Start();
    const DeliveryFigures f = RunClassic(
        sink.Port(), [&sink] { return sink.Messages(); }, small, SmallBody(0));
    PrintClassic(f);
    int rc = f.all ? 0 : 1;
    rc |= BigMessage(sink, bigMb);
    sink.Stop();
    return rc;
}
