#include "bench/support/fault_sites.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace bw::bench {

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void SleepMs(long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::map<std::string, int> Received(const test::SmtpPeer& sink) {
    std::map<std::string, int> got;
    for (const std::string& body : sink.Bodies()) {
        const auto at = body.find("X-Id: ");
        if (at == std::string::npos || !body.ends_with("\r\n.\r\n")) continue;
        ++got[body.substr(at + 6, body.find("\r\n", at) - at - 6)];
    }
    return got;
}

Values ProfileValues(bool fast) {
    return fast ? Values{{"Profile", "fast"}} : Values{};
}

Site::Site(const std::string& tag, int smtpPort, int dbPort, const Values& values)
    : tarnId("F" + tag),
      in(smtpPort, {.dbPort = dbPort,
                    .tarnId = "F" + tag,
                    .smtpLog = false,
                    .useTrash = true,
                    .serverValues = values}) {}

void Site::Queue(const std::string& folder, const std::string& id) {
    in.Queue(
        folder, id, test::Envelope("sender@ext.example", {"rcpt@corp.example"}),
        "X-Id: " + id + "\r\nSubject: fault " + id + "\r\n\r\n" + std::string(2000, 'f') + "\r\n");
    ids.push_back(id);
}

void Site::Fill(int pairs, const std::string& prefix) {
    for (int i = 0; i < pairs; ++i) {
        Queue(i % 2 == 0 ? "Inbox/" : "Outbox/", prefix + std::to_string(10000 + i));
    }
}

bool Site::Connected() const {
    return Number("SELECT COUNT(*) FROM information_schema.processlist WHERE db = '" + in.Db() +
                  "' AND id <> CONNECTION_ID()") != 0;
}

long Site::Spooled() const {
    const std::string s = test::ReadFile(in.StateDir() + "audit.spool");
    const long lines = static_cast<long>(std::count(s.begin(), s.end(), '\n'));
    return lines > 0 ? lines - 1 : 0;
}

int Site::JournalCount(const std::string& part) const {
    const std::string log = in.DaemonLog();
    int n = 0;
    for (std::size_t p = log.find(part); p != std::string::npos; p = log.find(part, p + 1)) ++n;
    return n;
}

bool Rig::Start() {
    sink.Start();
    return server.Start();
}

Site& Rig::Add(const std::string& tag, const Values& values) {
    sites.push_back(std::make_unique<Site>(tag, sink.Port(), server.Port(), values));
    return *sites.back();
}

namespace {

// Rows and counts of one database: all its 900 rows, all counts.
void CountDatabase(const Site& db, Tally& t, bool allCounts) {
    t.rows += db.Number("SELECT COUNT(*) FROM tbl_minilog WHERE action LIKE '900 %'");
    t.allRows += db.Number("SELECT COUNT(*) FROM tbl_minilog");
    t.counted += allCounts ? db.Number("SELECT COALESCE(SUM(delivered), 0) FROM tbl_stats")
                           : std::stol(db.in.Delivered());
    // Rows for the same message more than once.
    t.doubledRows += db.Number(
        "SELECT COALESCE(SUM(n - 1), 0) FROM (SELECT COUNT(*) n FROM "
        "tbl_minilog WHERE action LIKE '900 %' GROUP BY action) t");
}

}  // namespace

void Count(const Sites& sites, const test::SmtpPeer& sink, Tally& t, const Site* shared) {
    const auto got = Received(sink);
    if (shared != nullptr) CountDatabase(*shared, t, true);
    for (const auto& site : sites) {
        int lone = 0;
        t.stranded += site->in.QueuedPairs(&lone);
        t.lone += lone;
        t.setAside += site->in.Files("Inbox/BAD/", ".msg") + site->in.Files("Outbox/BAD/", ".msg");
        if (shared == nullptr) CountDatabase(*site, t, false);
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
    std::fflush(stdout);
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

}  // namespace bw::bench
