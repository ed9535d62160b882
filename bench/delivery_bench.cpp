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
// delivery's alone.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/installation.h"
#include "tests/support/smtp_peer.h"

namespace {

using bw::test::Installation;
using bw::test::SmtpPeer;

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

bw::test::Strings BenchEnvelope() {
    return bw::test::Envelope("sender@ext.example", {"rcpt@corp.example"});
}

/// Starts the daemon and waits until the sink has `expect` more messages (or
/// the daemon ends); returns the seconds from its first scan, the daemon stopped.
double Deliver(Installation& inst, const SmtpPeer& sink, int expect) {
    const auto before = sink.Messages();
    const auto start = std::chrono::steady_clock::now();
    inst.Start();
    while (sink.Messages() - before < static_cast<std::uint64_t>(expect) && inst.Running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() -
        bw::test::kFirstScanSeconds;
    inst.WaitRows(expect, 30);
    inst.Terminate();
    return seconds;
}

bool AllDelivered(const Installation& inst, int expect) {
    return inst.Scalar("SELECT COUNT(*) FROM tbl_minilog WHERE action LIKE '900 Delivered%'") ==
           std::to_string(expect);
}

int SmallMessages(const SmtpPeer& sink, int small) {
    Installation inst(sink.Port(),
                      {.tarnId = "BENCH", .smtpLog = false, .useTrash = false, .serverValues = {}});
    const std::string body =
        "Subject: bench\r\n\r\nHello,\r\n\r\nthis is a small test message.\r\n";
    for (int i = 0; i < small; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "S%06d", i);
        inst.Queue("Inbox/", name, BenchEnvelope(), body);
    }
    inst.Queue("Outbox/", "Held", BenchEnvelope(), body);
    const int held = ::open((inst.Acc() + "Outbox/Held.dat").c_str(), O_RDONLY | O_CLOEXEC);
    ::flock(held, LOCK_EX);
    const double seconds = Deliver(inst, sink, small);
    ::close(held);
    const bool all = AllDelivered(inst, small);
    const double rate = small / seconds;
    std::printf("small messages: %d delivered in %.1f s after the first scan (%s)\n", small,
                seconds, all ? "all" : "NOT ALL");
    std::printf("  throughput          %.2f messages/s\n", rate);
    std::printf(
        "  cadence bound       %.2f messages/s (5 windows per %.1f s scan of a queue;"
        " a window lasts %.3f s)\n",
        kBoundPerSecond, kScanPeriodSeconds, kWindowSeconds);
    std::printf("  ratio               %.3f (target >= 0.95)\n", rate / kBoundPerSecond);
    std::printf("  CPU per 1,000       %.3f s\n", inst.CpuSeconds() * 1000.0 / small);
    std::printf("  peak RSS            %ld KB\n", inst.MaxRssKb());
    std::printf("  minilog rows %s, delivered count %s\n",
                inst.Scalar("SELECT COUNT(*) FROM tbl_minilog").c_str(), inst.Delivered().c_str());
    return all ? 0 : 1;
}

std::string BigBody(int megabytes) {
    const std::size_t size = static_cast<std::size_t>(megabytes) * 1000 * 1000;
    std::string chunk;
    for (int i = 0; i < 1000; ++i) chunk += std::string(76, 'x') + "\r\n";
    std::string body = "Subject: big\r\n\r\n";
    body.reserve(size + chunk.size() + body.size());
    while (body.size() < size) body += chunk;
    return body;
}

int BigMessage(const SmtpPeer& sink, int bigMb) {
    Installation inst(sink.Port(),
                      {.tarnId = "BENCH", .smtpLog = false, .useTrash = false, .serverValues = {}});
    // A temporary: gone before the daemon's fork, so its peak RSS holds none of it.
    inst.Queue("Inbox/", "Big", BenchEnvelope(), BigBody(bigMb));
    const auto bytesBefore = sink.BodyBytes();
    const double seconds = Deliver(inst, sink, 1);
    const double mb = static_cast<double>(sink.BodyBytes() - bytesBefore) / 1e6;
    const bool all = AllDelivered(inst, 1);
    std::printf("big message: %.1f MB delivered in %.2f s after the first scan (%s)\n", mb, seconds,
                all ? "all" : "NOT ALL");
    std::printf("  body rate           %.1f MB/s (DATA reply to end of data, target >= 100)\n",
                mb / sink.LastBodySeconds());
    std::printf("  CPU                 %.3f s\n", inst.CpuSeconds());
    std::printf("  peak RSS            %ld KB\n", inst.MaxRssKb());
    return all ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int small = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int bigMb = argc > 2 ? std::atoi(argv[2]) : 100;
    SmtpPeer sink;
    sink.KeepBodies(false);
    sink.Start();
    int rc = SmallMessages(sink, small);
    rc |= BigMessage(sink, bigMb);
    sink.Stop();
    return rc;
}
