// What the delivery benches share: the queued messages (small pairs of a
// given size, one big message), the classic profile's cadence bound, runs of
// the real daemon (tests/support/installation.h) against a sink that counts
// messages, and the figures of a run (time, CPU, peak memory, and the audit:
// minilog rows and the delivered count, waited for until written).
// DIAGNOSTICS: a run that does not deliver everything says so in its figures
// (`all` false, the rows and count as found); database failures abort as in
// the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/installation.h"
#include "tests/support/smtp_peer.h"

namespace bw::bench {

using test::Installation;
using ServerValues = std::vector<std::pair<std::string, std::string>>;
/// Messages the sink has taken so far.
using SinkCount = std::function<std::uint64_t()>;

// The classic cadence on a server that answers at once: a delivery session
// lives three 250 ms stage ticks (envelope, connect, greeting), 5 ms to the
// recipient, 5 ms back to stage 5, 5 ms to DATA, 1 ms to the first piece, a
// 100 ms tick from the QUIT reply to the filing and 5 ms to the unload. The
// scan alternates Inbox and Outbox at 500 ms, so one queue is scanned once a
// second; a window ends before the next scan of its queue, each scan starts five.
constexpr double kWindowSeconds = (3 * 250 + 5 + 5 + 5 + 1 + 100 + 5) / 1000.0;
constexpr double kScanPeriodSeconds = 1.0;
constexpr double kBoundPerSecond = 5 / kScanPeriodSeconds;

struct DeliveryFigures {
    int messages = 0;
    double seconds = 0;  // as the run defines it
    double cpuSeconds = 0;
    long maxRssKb = 0;
    std::string rows, delivered;  // minilog rows, the delivered count
    bool all = false;             // every message delivered, with its row and count
};

/// A bench installation: no session log, delivered pairs deleted.
test::InstallationOptions BenchOptions(const ServerValues& values = {});
test::Strings BenchEnvelope();
/// A message of `bytes` bytes: a subject line and lines of text.
std::string SmallBody(std::size_t bytes);
/// A message of `megabytes` in 76-character lines.
std::string BigBody(int megabytes);
/// Queues `count` pairs S000000, S000001, ... in the Inbox.
void QueueSmall(Installation& inst, int count, const std::string& body);

/// Waits until the audit of `expect` deliveries is written (rows and count).
bool WaitAudit(const Installation& inst, int expect, int seconds);
/// Waits for the audit, stops the daemon and takes its figures.
DeliveryFigures Finish(Installation& inst, int expect, double seconds);

/// The classic profile: `count` small pairs in the Inbox while the Outbox
/// holds a pair locked elsewhere (both queues busy, the scan at 500 ms).
/// Seconds run from the first scan to the last message at the sink.
DeliveryFigures RunClassic(int smtpPort, const SinkCount& sink, int count, const std::string& body);
void PrintClassic(const DeliveryFigures& f);

struct BodyFigures {
    double megabytes = 0;
    double seconds = 0;      // the daemon's first scan to the end of data
    double bodySeconds = 0;  // sink clock: DATA reply to end of data
    double cpuSeconds = 0;
    long maxRssKb = 0;
    bool all = false;
};
/// One message of `megabytes` to the scripted sink, the daemon set up with `values`.
BodyFigures RunBigMessage(const test::SmtpPeer& sink, int megabytes, const ServerValues& values);

}  // namespace bw::bench
