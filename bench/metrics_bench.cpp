// Metrics endpoint benchmark: the real daemon (build/bwtarnout, an
// installation of its own) with "MetricsListen" set, scraped over 127.0.0.1
// the way a Prometheus server does, while its queue folders hold pairs that
// stay there (Inbox/BAD and Outbox/BAD, which the delivery never takes).
//
//   metrics_bench [pairs=10000] [scrapes=200]
//
// For 0, pairs/10 and pairs queued pairs: the median and 90th percentile of
// one GET /metrics (connect to the last byte; the queue gauges are counted
// from the folders at each scrape), and the size of the answer.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/installation.h"
#include "tests/support/metrics_scrape.h"
#include "tests/support/smtp_peer.h"

namespace {

using bw::test::Installation;

void Run(int port, int pairs, int scrapes) {
    const int metricsPort = bw::test::FreeLoopbackPort();
    Installation inst(
        port, {.tarnId = "MBENCH",
               .smtpLog = false,
               .serverValues = {{"MetricsListen", "127.0.0.1:" + std::to_string(metricsPort)}}});
    for (const char* folder : {"Inbox/BAD/", "Outbox/BAD/"}) {
        std::filesystem::create_directories(inst.Acc() + folder);
    }
    for (int i = 0; i < pairs; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Q%07d", i);
        inst.Queue(i % 2 == 0 ? "Inbox/BAD/" : "Outbox/BAD/", name,
                   bw::test::Envelope("a@ext.example", {"b@corp.example"}));
    }
    inst.Start();
    std::string body;
    for (int i = 0; i < 100 && body.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        body = bw::test::HttpGet(metricsPort);
    }
    if (body.empty()) {
        std::printf("pairs %6d: the endpoint did not answer\n%s", pairs, inst.DaemonLog().c_str());
        return;
    }
    std::vector<double> ms;
    for (int i = 0; i < scrapes; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        body = bw::test::HttpGet(metricsPort);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    inst.Terminate();
    std::sort(ms.begin(), ms.end());
    const std::string bad =
        bw::test::MetricSample(body, "bwtarnout_queue_pairs{folder=\"Inbox/BAD\"}");
    std::printf("pairs %6d: scrape median %7.2f ms, p90 %7.2f ms, %zu bytes (Inbox/BAD says %s)\n",
                pairs, ms[ms.size() / 2], ms[ms.size() * 9 / 10], body.size(), bad.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int scrapes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    bw::test::SmtpPeer sink;
    sink.Start();
    for (int n : {0, pairs / 10, pairs}) Run(sink.Port(), n, scrapes);
    return 0;
}
