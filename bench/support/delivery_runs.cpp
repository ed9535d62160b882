#include "bench/support/delivery_runs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace bw::bench {
namespace {

/// Starts the daemon and waits until the sink has `expect` more messages (or
/// the daemon ends); the seconds from its first scan.
double DeliverFromFirstScan(Installation& inst, const SinkCount& sink, int expect) {
    const std::uint64_t before = sink();
    const auto start = std::chrono::steady_clock::now();
    inst.Start();
    while (sink() - before < static_cast<std::uint64_t>(expect) && inst.Running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() -
           test::kFirstScanSeconds;
}

int Number(const std::string& s) {
    return s.empty() ? 0 : std::stoi(s);
}

}  // namespace

test::InstallationOptions BenchOptions(const ServerValues& values) {
    return {.tarnId = "BENCH", .smtpLog = false, .useTrash = false, .serverValues = values};
}

test::Strings BenchEnvelope() {
    return test::Envelope("sender@ext.example", {"rcpt@corp.example"});
}

std::string SmallBody(std::size_t bytes) {
    std::string body = "Subject: bench\r\n\r\nHello,\r\n\r\nthis is a small test message.\r\n";
    const std::string line = std::string(62, 'x') + "\r\n";
    while (body.size() + line.size() <= bytes) body += line;
    return body;
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

void QueueSmall(Installation& inst, int count, const std::string& body) {
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "S%06d", i);
        inst.Queue("Inbox/", name, BenchEnvelope(), body);
    }
}

bool WaitAudit(const Installation& inst, int expect, int seconds) {
    for (int i = 0; i <= seconds * 10; ++i) {
        if (Number(inst.Scalar("SELECT COUNT(*) FROM tbl_minilog")) >= expect &&
            Number(inst.Delivered()) >= expect) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

DeliveryFigures Finish(Installation& inst, int expect, double seconds) {
    WaitAudit(inst, expect, 60);
    inst.Terminate();
    DeliveryFigures f;
    f.messages = expect;
    f.seconds = seconds;
    f.cpuSeconds = inst.CpuSeconds();
    f.maxRssKb = inst.MaxRssKb();
    f.rows = inst.Scalar("SELECT COUNT(*) FROM tbl_minilog WHERE action LIKE '900 Delivered%'");
    f.delivered = inst.Delivered();
    f.all = Number(f.rows) == expect && Number(f.delivered) == expect &&
            Number(inst.Scalar("SELECT COUNT(*) FROM tbl_minilog")) == expect;
    return f;
}

DeliveryFigures RunClassic(int smtpPort, const SinkCount& sink, int count,
                           const std::string& body) {
    Installation inst(smtpPort, BenchOptions());
    QueueSmall(inst, count, body);
    inst.Queue("Outbox/", "Held", BenchEnvelope(), body);
    const int held = ::open((inst.Acc() + "Outbox/Held.dat").c_str(), O_RDONLY | O_CLOEXEC);
    ::flock(held, LOCK_EX);
    const double seconds = DeliverFromFirstScan(inst, sink, count);
    DeliveryFigures f = Finish(inst, count, seconds);
    ::close(held);
    return f;
}

void PrintClassic(const DeliveryFigures& f) {
    const double rate = f.messages / f.seconds;
    std::printf("small messages: %d delivered in %.1f s after the first scan (%s)\n", f.messages,
                f.seconds, f.all ? "all" : "NOT ALL");
    std::printf("  throughput          %.2f messages/s\n", rate);
    std::printf(
        "  cadence bound       %.2f messages/s (5 windows per %.1f s scan of a queue;"
        " a window lasts %.3f s)\n",
        kBoundPerSecond, kScanPeriodSeconds, kWindowSeconds);
    std::printf("  ratio               %.3f (target >= 0.95)\n", rate / kBoundPerSecond);
    std::printf("  CPU per 1,000       %.3f s\n", f.cpuSeconds * 1000.0 / f.messages);
    std::printf("  peak RSS            %ld KB\n", f.maxRssKb);
    std::printf("  minilog rows %s, delivered count %s\n", f.rows.c_str(), f.delivered.c_str());
}

BodyFigures RunBigMessage(const test::SmtpPeer& sink, int megabytes, const ServerValues& values) {
    Installation inst(sink.Port(), BenchOptions(values));
    // A temporary: gone before the daemon's fork, so its peak RSS holds none of it.
    inst.Queue("Inbox/", "Big", BenchEnvelope(), BigBody(megabytes));
    const std::uint64_t bytesBefore = sink.BodyBytes();
    const SinkCount count = [&sink] { return sink.Messages(); };
    const double seconds = DeliverFromFirstScan(inst, count, 1);
    const DeliveryFigures f = Finish(inst, 1, seconds);
    BodyFigures b;
    b.seconds = seconds;
    b.megabytes = static_cast<double>(sink.BodyBytes() - bytesBefore) / 1e6;
    b.bodySeconds = sink.LastBodySeconds();
    b.cpuSeconds = f.cpuSeconds;
    b.maxRssKb = f.maxRssKb;
    b.all = f.all;
    return b;
}

}  // namespace bw::bench
