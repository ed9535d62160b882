// Cost of one greylist check and one IP-lock call on tables of 100,000 rows,
// on a private MariaDB over loopback (started and stopped here), and the
// query plans of the statements they send. Prints medians and 90th
// percentiles in microseconds.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/audit.h"
#include "db/db_session.h"
#include "host/textfile.h"
#include "platform/clock.h"
#include "platform/day_serial.h"
#include "platform/mariadb.h"
#include "policy/policy_store.h"
#include "tests/support/mariadb_server.h"

namespace bw {
namespace {

constexpr int kRows = 100000;
constexpr int kNetworks = 2000;  // 50 triplets per network
constexpr int kCalls = 500;

std::string Net(int i) {
    return "10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".";
}
std::string From(int i) {
    return "sender" + std::to_string(i) + "@example" + std::to_string(i % 97) + ".org";
}
// tbl_lockip: 100,000 networks, one row each.
std::string LockNet(int i) {
    return std::to_string(16 + i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
           std::to_string(i % 256) + ".";
}
std::string To(int i) {
    return "user" + std::to_string(i % 50) + "@corp.com";
}

void Fill(int port, const std::string& db, double now) {
    const std::string nowText = DaySerialText(now);
    for (int start = 0; start < kRows; start += 1000) {
        std::string g =
            "INSERT INTO tbl_greylist (netip, mailfrom, mailto, ipaddress, rectime, lastcontact, "
            "allowed) VALUES ";
        std::string l =
            "INSERT INTO tbl_lockip (netip, numspam, numgood, lastspam, lastgood, numrejects, "
            "lastreject, locklevel, lockdays, lastlocked) VALUES ";
        for (int i = start; i < start + 1000; ++i) {
            const int net = i % kNetworks;
            g += std::string(i == start ? "" : ",") + "('" + Net(net) + "','" + From(i) + "','" +
                 To(i) + "','" + Net(net) + "1'," + nowText + "," + nowText + "," +
                 (i % 3 == 0 ? "0" : "-1") + ")";
            l += std::string(i == start ? "" : ",") + "('" + LockNet(i) + "',3,40," + nowText +
                 "," + nowText + ",0,0," + std::to_string(i % 4) + ",0," + nowText + ")";
        }
        test::Exec(port, db, g);
        test::Exec(port, db, l);
    }
    test::Exec(port, db, "INSERT INTO tbl_stats (tarnid) VALUES ('BENCH')");
    test::Exec(port, db, "ANALYZE TABLE tbl_greylist, tbl_lockip");
}

// The counter the greylist check adds costs one UPDATE of tbl_stats, as the
// database audit sends it; minilog rows do not occur here.
// FIXME: the database audit of db/ takes this one's place once it needs no
// process-wide state.
class StatsAudit final : public Audit {
  public:
    explicit StatsAudit(DbSession& session) : session_(session) {}
    ErrorState AddMinLog(const MinilogRow&) override { return {}; }
    void IncStats(const std::string& field, std::int32_t amount) override {
        ErrorState ignored;
        session_.Execute("UPDATE tbl_stats SET " + field + "=" + field + "+" +
                             std::to_string(amount) + " WHERE tarnid = 'BENCH'",
                         ignored);
    }

  private:
    DbSession& session_;
};

struct Figures {
    double median;
    double p90;
};

template <typename F>
Figures Measure(F call) {
    std::vector<double> us;
    for (int i = 0; i < kCalls; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        call(i);
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 9 / 10]};
}

void Explain(int port, const std::string& db, const std::string& label, const std::string& sql) {
    std::printf("\n%s\n  %s\n", label.c_str(), sql.c_str());
    std::printf("  %-6s %-13s %-6s %-22s %-22s %-8s %s\n", "type", "table", "access", "possible",
                "key", "rows", "extra");
    for (const test::Row& r : test::Query(port, db, "EXPLAIN " + sql)) {
        auto col = [&](size_t i) { return i < r.size() && r[i] ? *r[i] : std::string("NULL"); };
        // id, select_type, table, type, possible_keys, key, key_len, ref, rows, Extra
        std::printf("  %-6s %-13s %-6s %-22s %-22s %-8s %s\n", col(1).c_str(), col(2).c_str(),
                    col(3).c_str(), col(4).c_str(), col(5).c_str(), col(8).c_str(), col(9).c_str());
    }
}

struct Results {
    Figures known, fresh, network, lockQ, lockG;
};

Results MeasureAll(PolicyStore& store) {
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> pick(0, kRows - 1);
    std::vector<int> rows(kCalls);
    for (int& r : rows) r = pick(rng) / 3 * 3 + 1;  // allowed triplets
    Results m;
    m.known = Measure([&](int i) {
        const int r = rows[i];
        store.CheckGreyIP(Net(r % kNetworks) + "7", From(r), To(r), "", 0, 0);
    });
    m.fresh = Measure([&](int i) {
        store.CheckGreyIP(Net(i % kNetworks) + "8", "new" + std::to_string(i) + "@x.org",
                          "user@corp.com", "", 0, 0);
    });
    m.network = Measure(
        [&](int i) { store.CheckGreyIP(Net(i * 7 % kNetworks) + "9", "", "", "VG", 0, 0); });
    m.lockQ = Measure([&](int) { store.CheckLockIP(LockNet(pick(rng)) + "1", "VS"); });
    m.lockG = Measure([&](int) { store.CheckLockIP(LockNet(pick(rng)) + "1", "G"); });
    return m;
}

void Print(const Results& m) {
    std::printf("\n%d calls each, microseconds per call (median / 90th percentile)\n", kCalls);
    std::printf("  CheckGreyIP, known allowed triplet (read + update + counter): %8.0f / %8.0f\n",
                m.known.median, m.known.p90);
    std::printf("  CheckGreyIP, new triplet (read + insert + counter):         %8.0f / %8.0f\n",
                m.fresh.median, m.fresh.p90);
    std::printf("  CheckGreyIP \"VG\", network query:                          %8.0f / %8.0f\n",
                m.network.median, m.network.p90);
    std::printf("  CheckLockIP \"VS\", question on a locked/unlocked network:  %8.0f / %8.0f\n",
                m.lockQ.median, m.lockQ.p90);
    std::printf("  CheckLockIP \"G\", event (read + update):                   %8.0f / %8.0f\n",
                m.lockG.median, m.lockG.p90);
}

void ExplainAll(int port, const std::string& db) {
    const int r = 1;  // an allowed triplet
    Explain(port, db, "network query (\"VG\")",
            "SELECT netip,allowed FROM tbl_greylist USE INDEX (netip_allow) WHERE netip = '" +
                Net(r % kNetworks) + "' AND allowed = -1");
    Explain(port, db, "triplet lookup",
            "SELECT * FROM tbl_greylist WHERE netip = '" + Net(r % kNetworks) +
                "' AND mailfrom = '" + From(r) + "' AND mailto = '" + To(r) + "'");
    Explain(port, db, "IP-lock lookup",
            "SELECT * FROM tbl_lockip WHERE netip = '" + LockNet(r) + "' OR netip = '" +
                LockNet(r) + "1'");
}

int Run() {
    test::PrivateMariaDb server;  // stopped again when the bench ends
    if (!server.Start()) {
        std::fprintf(stderr, "cannot start a private MariaDB\n");
        return 1;
    }
    const int port = server.Port();
    const std::string db = test::CreateTestDatabase(port);
    SystemClock clock;
    MariaDbFactory factory;
    const std::string dir = "/tmp/bw_policy_bench_" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    std::printf("filling tbl_greylist and tbl_lockip with %d rows each ...\n", kRows);
    Fill(port, db, clock.Now());

    DbSession session(factory);
    ErrorState err;
    if (!session.Connect(test::ConnString(port, db), err)) {
        std::fprintf(stderr, "cannot connect: %s\n", err.description.c_str());
        return 1;
    }
    StatsAudit audit(session);
    PolicySettings settings;
    settings.GreyDelay = 5;
    settings.GreyFrame = 240;
    settings.GreyExp = 36;
    settings.IPLockUnit = 1;
    const std::string app = dir + "/", acc = dir + "/TarnIN/";
    SettingsFiles files(app, acc, {});
    PolicyStore store(session, clock, audit, files, {app, acc}, settings);

    Print(MeasureAll(store));
    ExplainAll(port, db);
    std::filesystem::remove_all(dir);
    return 0;
}

}  // namespace
}  // namespace bw

int main() {
    return bw::Run();
}
