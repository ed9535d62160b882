#include "tests/support/installation.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace bw::test {
namespace {

namespace fs = std::filesystem;

std::string BinaryDir() {
    const char* env = std::getenv("BW_BINARY_DIR");
    return env != nullptr && *env != '\0' ? env : BW_BINARY_DIR;
}

}  // namespace

Installation::Installation(int smtpPort, InstallationOptions options) : tarnId_(options.tarnId) {
    for (const std::string& d : {app_ + "Logs", app_ + "TarnIN/Inbox", app_ + "TarnIN/Outbox"})
        fs::create_directories(d);
    fs::create_directories(work_ + "/run");
    dbPort_ = options.dbPort != 0 ? options.dbPort : SharedDbPort();
    db_ = CreateTestDatabase(dbPort_);
    test::Exec(dbPort_, db_, "INSERT INTO tbl_stats (tarnid) VALUES ('" + tarnId_ + "')");
    WriteFile(app_ + "lang/English.lng",
              "[THERE ARE TRANFERS RUNNING! QUIT ANYWAYS?]\r\nThere are transfers running!\r\n");
    WriteFile(app_ + "TarnIN/AccInfo.ini",
              "[Server]\r\nSMTP=127.0.0.1:" + std::to_string(smtpPort) +
                  "\r\n[User]\r\nFullName=Test\r\nEmail=pm@corp.example\r\n");
    WriteFile(app_ + "DBConnect.dat", ConnString(dbPort_, db_) + "\r\n");
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\";
    std::string serverValues;
    for (const auto& [name, value] : options.serverValues) {
        serverValues += "\"" + name + "\"=\"" + value + "\"\r\n";
    }
    WriteFile(work_ + "/registry.reg",
              "Windows Registry Editor Version 5.00\r\n\r\n" + key + "General]\r\n\"AppPath\"=\"" +
                  app_ + "\"\r\n\"UILanguage\"=\"English\"\r\n\"UseTrash\"=\"" +
                  (options.useTrash ? "-1" : "0") + "\"\r\n\r\n" + key +
                  "Server]\r\n\"SMTPLog\"=\"" + (options.smtpLog ? "-1" : "0") + "\"\r\n" +
                  serverValues + "\r\n" + key + "TarnIN]\r\n\"TarnID\"=\"" + tarnId_ + "\"\r\n");
}

Installation::~Installation() {
    Kill();
    DropTestDatabase(dbPort_, db_);
}

void Installation::Queue(const std::string& folder, const std::string& name, const Strings& dat,
                         const std::string& body) {
    const std::string base = Acc() + folder + name;
    WriteFile(base + ".msg", "X-Queue: 1\r\n" + body);
    std::string d;
    for (const auto& l : dat) d += l + "\r\n";
    WriteFile(base + ".dat.tmp", d);
    fs::rename(base + ".dat.tmp", base + ".dat");
}

void Installation::Start() {
    if (pid_ > 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setenv("BW_REGISTRY", (work_ + "/registry.reg").c_str(), 1);
        ::setenv("BW_RUN_DIR", (work_ + "/run").c_str(), 1);
        ::setenv("BW_STATE_DIR", (work_ + "/state").c_str(), 1);
        ::setenv("BW_QUESTION_ANSWER", "yes", 1);
        ::unsetenv("INVOCATION_ID");
        if (std::freopen((work_ + "/daemon.log").c_str(), "a", stderr) == nullptr) ::_exit(126);
        const std::string bin = BinaryDir() + "/bwtarnout";
        ::execl(bin.c_str(), bin.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

int Installation::RunCommand(const Strings& args, std::string& out, std::string& err) const {
    const std::string outFile = work_ + "/command.out";
    const std::string errFile = work_ + "/command.err";
    std::fflush(nullptr);  // else the child writes what the parent has buffered
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("BW_REGISTRY", (work_ + "/registry.reg").c_str(), 1);
        ::setenv("BW_RUN_DIR", (work_ + "/run").c_str(), 1);
        ::setenv("BW_STATE_DIR", (work_ + "/state").c_str(), 1);
        if (std::freopen(outFile.c_str(), "w", stdout) == nullptr ||
            std::freopen(errFile.c_str(), "w", stderr) == nullptr) {
            ::_exit(126);
        }
        const std::string bin = BinaryDir() + "/bwtarnout";
        std::vector<char*> argv{const_cast<char*>(bin.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(bin.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    out = ReadFile(outFile);
    err = ReadFile(errFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Installation::Exec(const std::string& sql) const {
    test::Exec(dbPort_, db_, sql);
}

void Installation::Reap(int options) {
    rusage ru{};
    if (::wait4(pid_, nullptr, options, &ru) != pid_) return;
    pid_ = -1;
    cpuSeconds_ = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
                  ru.ru_stime.tv_usec / 1e6;
    maxRssKb_ = ru.ru_maxrss;
}

bool Installation::Running() {
    if (pid_ > 0) Reap(WNOHANG);
    return pid_ > 0;
}

void Installation::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Reap(0);
}

bool Installation::Terminate() {
    if (pid_ <= 0) return true;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 400 && Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const bool ended = !Running();
    Kill();
    return ended;
}

int Installation::QueuedPairs(int* loneDat) const {
    int n = 0;
    int lone = 0;
    for (const char* f : {"Inbox", "Outbox"}) {
        for (const auto& e : fs::directory_iterator(Acc() + f)) {
            if (e.path().extension() != ".dat") continue;
            auto msg = e.path();
            (fs::exists(msg.replace_extension(".msg")) ? n : lone) += 1;
        }
    }
    if (loneDat != nullptr) *loneDat = lone;
    return n;
}

int Installation::Files(const std::string& folder, const std::string& ext) const {
    int n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(Acc() + folder, ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        n += it->path().extension() == ext ? 1 : 0;
    }
    return n;
}

bool Installation::WaitQueueEmpty(int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (QueuedPairs() == 0) return true;
        if (!Running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return QueuedPairs() == 0;
}

bool Installation::WaitRows(int n, int seconds) const {
    for (int i = 0; i < seconds * 10; ++i) {
        if (std::stoi(Scalar("SELECT COUNT(*) FROM tbl_minilog")) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::string Installation::Scalar(const std::string& sql) const {
    return test::Scalar(dbPort_, db_, sql);
}

std::vector<Row> Installation::Minilog() const {
    return Query(dbPort_, db_,
                 "SELECT ipaddress, mailfrom, mailto, action FROM tbl_minilog ORDER BY id");
}

std::string Installation::Delivered() const {
    return Scalar("SELECT delivered FROM tbl_stats WHERE tarnid='" + tarnId_ + "'");
}

std::string Installation::SessionLog() const {
    std::string all;
    for (const auto& e : fs::directory_iterator(app_ + "Logs")) all += ReadFile(e.path().string());
    return all;
}

std::string Installation::DaemonLog() const {
    return ReadFile(work_ + "/daemon.log");
}

Strings Envelope(const std::string& from, const Strings& rcpts) {
    Strings v{"h\t127.0.0.1\tx", "HELO gateway.example", from};
    v.insert(v.end(), rcpts.begin(), rcpts.end());
    return v;
}

}  // namespace bw::test
