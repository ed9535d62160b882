// The real daemon, started as a process with its settings store, lock folder
// and unit folder in a private temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "host/exit_status.h"
#include "tests/support/temp_dir.h"

namespace bw {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string BinaryPath() {
    const char* env = std::getenv("BW_BINARY_DIR");
    return std::string(env != nullptr && *env != '\0' ? env : BW_BINARY_DIR) + "/bwtarnout";
}

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(app_ + "lang");
        fs::create_directories(root_ + "/run");
        fs::create_directories(root_ + "/units");
        std::ofstream(app_ + "lang/English.lng") << "";
        // The tests choose the application folder by registering it first.
        std::ofstream(root_ + "/registry.reg", std::ios::binary)
            << "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\General]\r\n"
               "\"AppPath\"=\""
            << app_ << "\"\r\n";
    }
    void TearDown() override {
        for (pid_t p : pids_) {
            ::kill(p, SIGKILL);
            ::waitpid(p, nullptr, 0);
        }
    }

    /// Starts the daemon; its standard error goes to "stderr.<n>", n counting from 0.
    /// `run`: the run folder (another one is another instance).
    pid_t Spawn(std::string arg = "", const std::string& run = "/run") {
        std::string bin = BinaryPath();
        std::vector<std::string> env = {"BW_REGISTRY=" + root_ + "/registry.reg",
                                        "BW_RUN_DIR=" + root_ + run,
                                        "BW_STATE_DIR=" + root_ + "/state",
                                        "BW_UNIT_DIR=" + root_ + "/units",
                                        "XDG_CONFIG_HOME=" + root_ + "/config",
                                        "PATH=/usr/bin:/bin",
                                        "HOME=" + root_};
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        char* argv[] = {bin.data(), arg.empty() ? nullptr : arg.data(), nullptr};
        const std::string errFile = root_ + "/stderr." + std::to_string(pids_.size());
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
            ::dup2(::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            ::execve(bin.c_str(), argv, envp.data());
            ::_exit(127);
        }
        pids_.push_back(pid);
        return pid;
    }
    /// The exit status of pid, or -1 when it did not end within `limit`.
    int WaitEnd(pid_t pid, std::chrono::milliseconds limit) {
        int status = 0;
        if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) return -1;
        std::erase(pids_, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            if (cond()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return cond();
    }
    static std::string Read(const std::string& path) { return test::ReadFile(path); }

    test::TempDir tmp_{"bw_daemon"};
    std::string root_ = tmp_.Path();
    std::string app_ = root_ + "/app/";
    std::vector<pid_t> pids_;
};

TEST_F(DaemonTest, StartsBuildsItsTreeAndEndsOnSigterm) {
    const pid_t first = Spawn();
    // The tree and the identifier are there once the start-up is through.
    ASSERT_TRUE(WaitFor(
        [&] {
            return fs::is_directory(app_ + "TarnIN/Outbox") &&
                   Read(root_ + "/registry.reg").find("\"TarnID\"=") != std::string::npos &&
                   fs::is_regular_file(root_ + "/state/audit.spool");
        },
        std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // A second instance ends at once and says nothing.
    const pid_t second = Spawn();
    EXPECT_EQ(WaitEnd(second, std::chrono::seconds(5)), 0);
    EXPECT_EQ(Read(root_ + "/stderr.1"), "");
    EXPECT_EQ(WaitEnd(first, std::chrono::milliseconds(1)), -1);  // still running

    // Another instance (a run folder of its own) on the same state folder
    // would write back the first one's rows: it does not start, and says who
    // holds the folder.
    fs::create_directories(root_ + "/run2");
    const pid_t other = Spawn("", "/run2");
    EXPECT_EQ(WaitEnd(other, std::chrono::seconds(10)), kExitStateDir);
    EXPECT_NE(Read(root_ + "/stderr.1")
                  .find("the folder " + root_ +
                        "/state is in use by another "
                        "daemon (pid " +
                        std::to_string(first)),
              std::string::npos)
        << Read(root_ + "/stderr.1");

    ASSERT_EQ(::kill(first, SIGTERM), 0);
    EXPECT_EQ(WaitEnd(first, std::chrono::seconds(3)), 0);

    // A state folder that cannot be used ends the start with its own status.
    fs::remove_all(root_ + "/state");
    std::ofstream(root_ + "/state") << "not a folder";
    EXPECT_EQ(WaitEnd(Spawn(), std::chrono::seconds(10)), kExitStateDir);
}

TEST_F(DaemonTest, CommandsThatEndBeforeTheStartUp) {
    // The unit "-install" writes is the packaged one, with this executable.
    const std::string unit = root_ + "/units/BWTarnOUT.service";
    EXPECT_EQ(WaitEnd(Spawn("-install"), std::chrono::seconds(10)), 0);
    std::string packaged =
        Read(fs::path(BinaryPath()).parent_path() / "packaging/BWTarnOUT.service");
    const auto exec = packaged.find("\nExecStart=");
    ASSERT_NE(exec, std::string::npos);
    packaged.replace(exec, packaged.find('\n', exec + 1) - exec,
                     "\nExecStart=" + fs::canonical(BinaryPath()).string());
    EXPECT_EQ(Read(unit), packaged);
    EXPECT_NE(packaged.find("\nUser=bwtarnout\n"), std::string::npos);

    EXPECT_EQ(WaitEnd(Spawn("-remove"), std::chrono::seconds(10)), 0);
    EXPECT_FALSE(fs::exists(unit));
    // --help and --version answer at once and touch nothing.
    for (const char* option : {"--help", "--version"}) {
        EXPECT_EQ(WaitEnd(Spawn(option), std::chrono::seconds(2)), 0) << option;
    }
    // An option it does not know is a usage error, not a start.
    EXPECT_EQ(WaitEnd(Spawn("--verison"), std::chrono::seconds(2)), kExitUsage);
    // One line that names it, not the whole usage.
    EXPECT_EQ(Read(root_ + "/stderr.0"),
              "bwtarnout: unknown option '--verison'; see 'bwtarnout --help'\n");
    EXPECT_EQ(Read(root_ + "/registry.reg").find("TarnID"), std::string::npos);
    EXPECT_FALSE(fs::exists(app_ + "TarnIN"));
    EXPECT_FALSE(fs::exists(app_ + "Logs"));
    EXPECT_FALSE(fs::exists(root_ + "/run/BWTarnOUT.lock"));
}

}  // namespace
}  // namespace bw
