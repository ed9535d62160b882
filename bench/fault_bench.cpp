// Fault runs of the real daemon (build/bwtarnout) against a counting SMTP
// sink and a private MariaDB, both on 127.0.0.1.
//
//   fault_bench kill    [pairs=1200] [kills=200] [installations=4]
//   fault_bench dbstorm [pairs=800] [up-ms-min=1500] [up-ms-max=3500]
//
// kill: each installation (application folder, state folder, database of its
// own, all sharing one server and one sink) queues pairs/installations
// pairs; its daemon is started and killed with SIGKILL at a random moment
// 4.5 to 7.5 s after each start (the first scan comes 5 s after a start, so
// most kills land among conversations and filings), until `kills` kills have
// been made; then every daemon runs undisturbed until its queues are empty.
// Prints lost, sent twice, stranded, and the minilog rows and counts against
// deliveries.
//
// dbstorm: one installation; while its pairs are delivered the database is
// killed (SIGKILL) after running up-ms-min to up-ms-max milliseconds, and
// started again 0.3 s later. Prints
// rows and counts against deliveries and the seconds from the server's
// return to the daemon's connection.
//
// The sink records a message when its "." line has arrived, before its 250
// reply: from then on the server has taken it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/mariadb_server.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bw::test::ConnString;
using bw::test::CreateTestDatabase;
using bw::test::Exec;
using bw::test::PrivateMariaDb;
using bw::test::Scalar;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void SleepMs(long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A counting SMTP sink: every message's "X-Id:" header, counted when the
// end of data arrives.
class Sink {
  public:
    Sink() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 64);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        accept_ = std::thread([this] { AcceptLoop(); });
    }
    ~Sink() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        accept_.join();
    }
    int Port() const { return port_; }
    std::map<std::string, int> Received() {
        std::lock_guard<std::mutex> l(mu_);
        return got_;
    }

  private:
    void AcceptLoop() {
        while (!stop_) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (stop_) return;
                continue;
            }
            std::thread([this, c] { Serve(c); }).detach();
        }
    }
    void Serve(int c) {
        timeval tv{60, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        auto send = [c](const char* s) { return ::send(c, s, std::strlen(s), MSG_NOSIGNAL) > 0; };
        std::string buf;
        auto line = [&](std::string& out) {
            for (;;) {
                const auto p = buf.find("\r\n");
                if (p != std::string::npos) {
                    out = buf.substr(0, p);
                    buf.erase(0, p + 2);
                    return true;
                }
                char tmp[65536];
                const ssize_t n = ::recv(c, tmp, sizeof tmp, 0);
                if (n <= 0) return false;
                buf.append(tmp, static_cast<std::size_t>(n));
            }
        };
        send("220 sink ESMTP\r\n");
        std::string l;
        while (line(l)) {
            if (strncasecmp(l.c_str(), "DATA", 4) == 0) {
                send("354 go ahead\r\n");
                std::string id;
                bool done = false;
                while (line(l)) {
                    if (l == ".") {
                        done = true;
                        break;
                    }
                    if (id.empty() && l.rfind("X-Id: ", 0) == 0) id = l.substr(6);
                }
                if (!done) break;
                {
                    std::lock_guard<std::mutex> g(mu_);
                    ++got_[id];
                }
                send("250 queued\r\n");
            } else if (strncasecmp(l.c_str(), "QUIT", 4) == 0) {
                send("221 bye\r\n");
                break;
            } else {
                send("250 ok\r\n");
            }
        }
        ::close(c);
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread accept_;
    std::mutex mu_;
    std::map<std::string, int> got_;
};

std::string BinaryDir() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

// One gateway installation with its own folders, database and daemon.
class Installation {
  public:
    Installation(const std::string& tag, int smtpPort, int dbPort) : dbPort_(dbPort) {
        char tmpl[] = "/tmp/bwfault.XXXXXX";
        work_ = ::mkdtemp(tmpl);
        app_ = work_ + "/app/";
        for (const char* d : {"lang", "Logs", "TarnIN/Inbox", "TarnIN/Outbox"}) {
            fs::create_directories(app_ + d);
        }
        fs::create_directories(work_ + "/run");
        db_ = CreateTestDatabase(dbPort_);
        tarnId_ = "F" + tag;
        Exec(dbPort_, db_, "INSERT INTO tbl_stats (tarnid) VALUES ('" + tarnId_ + "')");
        bw::test::WriteFile(
            app_ + "lang/English.lng",
            "[THERE ARE TRANFERS RUNNING! QUIT ANYWAYS?]\r\nThere are transfers running!\r\n");
        bw::test::WriteFile(app_ + "TarnIN/AccInfo.ini",
                            "[Server]\r\nSMTP=127.0.0.1:" + std::to_string(smtpPort) +
                                "\r\n[User]\r\nEmail=pm@corp.example\r\n");
        bw::test::WriteFile(app_ + "DBConnect.dat", ConnString(dbPort_, db_) + "\r\n");
        bw::test::WriteFile(
            work_ + "/registry.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\General]\r\n\"AppPath\"=\"" +
                app_ +
                "\"\r\n\"UILanguage\"=\"English\"\r\n\"UseTrash\"=\"-1\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\TarnIN]\r\n\"TarnID\"=\"" +
                tarnId_ + "\"\r\n");
    }
    ~Installation() {
        Kill();
        std::error_code ec;
        fs::remove_all(work_, ec);
    }

    std::string Acc() const { return app_ + "TarnIN/"; }

    void Queue(const std::string& folder, const std::string& id) {
        bw::test::WriteFile(Acc() + folder + id + ".msg",
                            "X-Queue: 1\r\nX-Id: " + id + "\r\nSubject: fault " + id + "\r\n\r\n" +
                                std::string(2000, 'f') + "\r\n");
        bw::test::WriteFile(Acc() + folder + id + ".dat.tmp",
                            "h\t127.0.0.1\tx\r\nHELO gateway.example\r\nsender@ext.example\r\n"
                            "rcpt@corp.example\r\n");
        fs::rename(Acc() + folder + id + ".dat.tmp", Acc() + folder + id + ".dat");
        ids_.push_back(id);
    }
    const std::vector<std::string>& Ids() const { return ids_; }

    void Start() {
        if (pid_ > 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("BW_REGISTRY", (work_ + "/registry.reg").c_str(), 1);
            ::setenv("BW_RUN_DIR", (work_ + "/run").c_str(), 1);
            ::setenv("BW_STATE_DIR", (work_ + "/state").c_str(), 1);
            ::setenv("BW_QUESTION_ANSWER", "yes", 1);
            ::unsetenv("INVOCATION_ID");
            std::FILE* f = std::freopen((work_ + "/daemon.log").c_str(), "a", stderr);
            (void)f;
            const std::string bin = BinaryDir() + "/bwtarnout";
            ::execl(bin.c_str(), bin.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    bool Running() const { return pid_ > 0; }
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    void Terminate() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            SleepMs(50);
        }
        Kill();
    }

    // Pairs still queued, and envelopes left without their message.
    int Queued(int* loneDat = nullptr) const {
        int n = 0;
        int lone = 0;
        for (const char* f : {"Inbox", "Outbox"}) {
            for (const auto& e : fs::directory_iterator(Acc() + f)) {
                if (e.path().extension() != ".dat") continue;
                auto msg = e.path();
                if (fs::exists(msg.replace_extension(".msg"))) {
                    ++n;
                } else {
                    ++lone;
                }
            }
        }
        if (loneDat != nullptr) *loneDat = lone;
        return n;
    }
    int SetAside() const {
        int n = 0;
        for (const char* f : {"Inbox/BAD", "Outbox/BAD"}) {
            std::error_code ec;
            for (auto it = fs::directory_iterator(Acc() + f, ec);
                 !ec && it != fs::directory_iterator(); it.increment(ec)) {
                n += it->path().extension() == ".msg";
            }
        }
        return n;
    }
    long Rows() const {
        return std::stol(
            Scalar(dbPort_, db_, "SELECT COUNT(*) FROM tbl_minilog WHERE action LIKE '900 %'"));
    }
    long AllRows() const {
        return std::stol(Scalar(dbPort_, db_, "SELECT COUNT(*) FROM tbl_minilog"));
    }
    long Counted() const {
        return std::stol(
            Scalar(dbPort_, db_, "SELECT delivered FROM tbl_stats WHERE tarnid='" + tarnId_ + "'"));
    }
    /// Rows for the same message more than once.
    long DoubledRows() const {
        return std::stol(Scalar(dbPort_, db_,
                                "SELECT COALESCE(SUM(n - 1), 0) FROM (SELECT COUNT(*) n FROM "
                                "tbl_minilog WHERE action LIKE '900 %' GROUP BY action) t"));
    }
    /// True while the daemon holds a connection to its database.
    bool Connected() const {
        return Scalar(dbPort_, db_,
                      "SELECT COUNT(*) FROM information_schema.processlist WHERE db = '" + db_ +
                          "' AND id <> CONNECTION_ID()") != "0";
    }
    /// Records waiting in the audit spool (lines after its header).
    long Spooled() const {
        const std::string s = bw::test::ReadFile(work_ + "/state/audit.spool");
        const long lines = static_cast<long>(std::count(s.begin(), s.end(), '\n'));
        return lines > 0 ? lines - 1 : 0;
    }
    int JournalCount(const std::string& part) const {
        const std::string log = bw::test::ReadFile(work_ + "/daemon.log");
        int n = 0;
        for (std::size_t p = log.find(part); p != std::string::npos; p = log.find(part, p + 1)) ++n;
        return n;
    }

  private:
    std::string work_;
    std::string app_;
    std::string db_;
    std::string tarnId_;
    int dbPort_;
    pid_t pid_ = -1;
    std::vector<std::string> ids_;
};

struct Tally {
    long queued = 0, unique = 0, receipts = 0, twice = 0, lost = 0, stranded = 0, lone = 0;
    long setAside = 0, rows = 0, allRows = 0, counted = 0, doubledRows = 0, spooled = 0;
};

void Count(const std::vector<std::unique_ptr<Installation>>& insts, Sink& sink, Tally& t) {
    const auto got = sink.Received();
    for (const auto& in : insts) {
        int lone = 0;
        const int queued = in->Queued(&lone);
        t.stranded += queued;
        t.lone += lone;
        t.setAside += in->SetAside();
        t.rows += in->Rows();
        t.allRows += in->AllRows();
        t.counted += in->Counted();
        t.doubledRows += in->DoubledRows();
        t.spooled += in->Spooled();
        for (const auto& id : in->Ids()) {
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
}

bool WaitDrained(const std::vector<std::unique_ptr<Installation>>& insts, int seconds) {
    const auto t0 = Clock::now();
    while (Since(t0) < seconds) {
        int q = 0;
        for (const auto& in : insts) q += in->Queued();
        if (q == 0) return true;
        SleepMs(200);
    }
    return false;
}

int RunKill(int pairs, int kills, int n) {
    PrivateMariaDb server;
    if (!server.Start()) return 1;
    Sink sink;
    std::vector<std::unique_ptr<Installation>> insts;
    for (int k = 0; k < n; ++k) {
        insts.push_back(
            std::make_unique<Installation>(std::to_string(k), sink.Port(), server.Port()));
        for (int i = 0; i < pairs / n; ++i) {
            const std::string id = "k" + std::to_string(k) + "-" + std::to_string(10000 + i);
            insts.back()->Queue(i % 2 == 0 ? "Inbox/" : "Outbox/", id);
        }
    }
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> after(4500, 7500);
    std::vector<Clock::time_point> killAt(n);
    const auto t0 = Clock::now();
    for (int k = 0; k < n; ++k) {
        insts[k]->Start();
        killAt[k] = Clock::now() + std::chrono::milliseconds(after(rng));
    }
    int made = 0;
    while (made < kills) {
        bool any = false;
        for (int k = 0; k < n && made < kills; ++k) {
            auto& in = *insts[k];
            if (!in.Running()) continue;
            any = true;
            if (Clock::now() < killAt[k]) continue;
            in.Kill();
            ++made;
            if (in.Queued() > 0) {
                in.Start();
                killAt[k] = Clock::now() + std::chrono::milliseconds(after(rng));
            }
        }
        if (!any) break;
        SleepMs(1);
    }
    const double killPhase = Since(t0);
    for (auto& in : insts) in->Start();
    const bool drained = WaitDrained(insts, 600);
    SleepMs(3000);  // the last windows unload and write their rows
    for (auto& in : insts) in->Terminate();

    Tally t;
    Count(insts, sink, t);
    std::printf(
        "fault_bench kill: %d installations, %d kills in %.0f s, all drained: %s, "
        "total %.0f s\n",
        n, made, killPhase, drained ? "yes" : "NO", Since(t0));
    PrintTally(t);
    return 0;
}

int RunDbStorm(int pairs, int upMin, int upMax) {
    PrivateMariaDb server;
    if (!server.Start()) return 1;
    Sink sink;
    std::vector<std::unique_ptr<Installation>> insts;
    insts.push_back(std::make_unique<Installation>("S", sink.Port(), server.Port()));
    Installation& in = *insts.back();
    for (int i = 0; i < pairs; ++i) {
        in.Queue(i % 2 == 0 ? "Inbox/" : "Outbox/", "s-" + std::to_string(10000 + i));
    }
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> up(upMin, std::max(upMin, upMax));
    const auto t0 = Clock::now();
    in.Start();
    std::vector<double> reconnect;
    double downSeconds = 0;
    int restarts = 0;
    while (in.Queued() > 0 && Since(t0) < 900) {
        SleepMs(up(rng));
        const auto down = Clock::now();
        server.Kill();
        SleepMs(300);
        if (!server.Start()) return 1;
        downSeconds += Since(down);
        ++restarts;
        const auto back = Clock::now();
        while (!in.Connected() && Since(back) < 60) SleepMs(20);
        reconnect.push_back(Since(back));
    }
    const double stormSeconds = Since(t0);
    WaitDrained(insts, 300);
    // The last rows and the spool: written back on the next ticks.
    const auto settle = Clock::now();
    while ((in.Spooled() > 0 || in.AllRows() < static_cast<long>(pairs)) && Since(settle) < 30) {
        SleepMs(200);
    }
    SleepMs(2000);
    in.Terminate();

    Tally t;
    Count(insts, sink, t);
    std::sort(reconnect.begin(), reconnect.end());
    auto pct = [&](double p) {
        return reconnect.empty() ? 0.0
                                 : reconnect[static_cast<std::size_t>(p * (reconnect.size() - 1))];
    };
    std::printf(
        "fault_bench dbstorm: %d restarts in %.0f s (server away %.0f s in all, %.1f s "
        "per restart)\n",
        restarts, stormSeconds, downSeconds, restarts ? downSeconds / restarts : 0.0);
    std::printf("seconds to reconnect    median %.2f, p90 %.2f, max %.2f\n", pct(0.5), pct(0.9),
                pct(1.0));
    std::printf("journal: restores %d, spool warnings %d\n",
                in.JournalCount("Restored lost DB Connection!"), in.JournalCount("Audit spool"));
    PrintTally(t);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    auto arg = [&](int i, int def) { return argc > i ? std::atoi(argv[i]) : def; };
    if (mode == "kill") return RunKill(arg(2, 1200), arg(3, 200), std::max(1, arg(4, 4)));
    if (mode == "dbstorm") return RunDbStorm(arg(2, 800), arg(3, 1500), arg(4, 3500));
    std::fprintf(stderr,
                 "usage: fault_bench kill [pairs=1200] [kills=200] [installations=4]\n"
                 "       fault_bench dbstorm [pairs=800] [up-ms-min=1500] [up-ms-max=3500]\n");
    return 2;
}
