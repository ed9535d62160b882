#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "platform/checksum.h"
#include "platform/desktop.h"
#include "platform/instance_lock.h"
#include "platform/linux_service.h"
#include "tests/support/temp_dir.h"

namespace bw {
namespace {

TEST(ChecksumTest, IsTheStandardCrc32) {
    EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc32(""), 0u);
}

// One lock path: held by another holder means "another instance runs"; a run
// folder that is missing is made; a lock that cannot be taken for any other
// reason fails with the reason, never falls back elsewhere or runs unguarded.
TEST(InstanceLockTest, OnePathHeldMadeOrFailed) {
    const test::TempDir tmp("bw_lock");
    const std::string dir = tmp.Path() + "/run";
    ::setenv("BW_RUN_DIR", dir.c_str(), 1);
    std::string reason;
    {
        FlockInstanceLock first;
        ASSERT_EQ(first.TryAcquire(reason), InstanceLock::Result::kAcquired) << reason;
        struct stat st {};
        ASSERT_EQ(::stat(dir.c_str(), &st), 0);  // made, as the daemon started by hand needs
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        FlockInstanceLock second;
        EXPECT_EQ(second.TryAcquire(reason), InstanceLock::Result::kHeldByOther);
    }
    FlockInstanceLock third;
    EXPECT_EQ(third.TryAcquire(reason), InstanceLock::Result::kAcquired);

    struct Row {
        const char* label;
        std::function<void(const std::string&)> make;  // spoils the run folder
        const char* why;
    };
    const Row rows[] = {
        {"run folder is a file", [](const std::string& d) { test::WriteFile(d, ""); },
         "Not a directory"},
        {"parent folder missing", [](const std::string&) {}, "No such file or directory"},
        {"lock file is a link",
         [&](const std::string& d) {
             std::filesystem::create_directories(d);
             std::filesystem::create_symlink(tmp.Path() + "/elsewhere", d + "/BWTarnOUT.lock");
         },
         "a symbolic link"},
        {"lock file is a pipe",
         [](const std::string& d) {
             std::filesystem::create_directories(d);
             ::mkfifo((d + "/BWTarnOUT.lock").c_str(), 0644);
         },
         "a pipe (FIFO)"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        std::string d = tmp.Path() + "/bad" + std::to_string(++n);
        if (std::string(row.label) == "parent folder missing") d += "/deeper";
        row.make(d);
        ::setenv("BW_RUN_DIR", d.c_str(), 1);
        FlockInstanceLock lock;
        EXPECT_EQ(lock.TryAcquire(reason), InstanceLock::Result::kFailed);
        EXPECT_NE(reason.find(d + "/BWTarnOUT.lock: "), std::string::npos) << reason;
        EXPECT_NE(reason.find(row.why), std::string::npos) << reason;
    }
    EXPECT_FALSE(std::filesystem::exists(tmp.Path() + "/elsewhere"));
    ::unsetenv("BW_RUN_DIR");
}

TEST(LinuxServiceTest, UnitFileAndJournalLines) {
    // The unit text as a whole: the daemon test's "-install".
    ::unsetenv("BW_UNIT_DIR");
    EXPECT_EQ(LinuxService::UnitFilePath(), "/etc/systemd/system/BWTarnOUT.service");
    // A line feed in the description cannot add a directive.
    EXPECT_NE(LinuxService::UnitText("a\nUser=root", "/x").find("\nDescription=a User=root\n"),
              std::string::npos);

    struct Case {
        const char* exe;
        const char* written;
    };
    const Case cases[] = {
        {"/opt/brimwarden/bwtarnout", "/opt/brimwarden/bwtarnout"},
        {"/opt/brim warden/bwtarnout", "\"/opt/brim warden/bwtarnout\""},
        {"/opt/100%/bwtarnout", "/opt/100%%/bwtarnout"},
        {"/opt/a\"b\\c/bwtarnout", "\"/opt/a\\\"b\\\\c/bwtarnout\""},
    };
    for (const auto& c : cases) EXPECT_EQ(LinuxService::ExecStartPath(c.exe), c.written) << c.exe;

    // A control character in a journal text (a file name, a server's error)
    // is shown escaped: one entry never reads as two.
    const char* invocation = std::getenv("INVOCATION_ID");
    const std::string saved = invocation != nullptr ? invocation : "";
    ::unsetenv("INVOCATION_ID");
    testing::internal::CaptureStderr();
    LinuxService().LogEvent(2, 110, "file a\nforged\r\x1b[31m");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "BWTarnOUT [110]: file a\\x0Aforged\\x0D\\x1B[31m\n");
    if (invocation != nullptr) ::setenv("INVOCATION_ID", saved.c_str(), 1);
}

// Standard input that is no terminal, or a terminal that is not the
// controlling terminal of the process (as for a daemon whose input was left on
// some terminal): the environment answers at once, never a read.
TEST(LinuxDesktopTest, WithoutItsOwnTerminalTheEnvironmentAnswers) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string foreign = ::ptsname(master);
    const int savedInput = ::dup(STDIN_FILENO);
    const auto set = [](const char* var, const char* value) {
        value != nullptr ? ::setenv(var, value, 1) : ::unsetenv(var);
    };
    for (const std::string& input : {std::string("/dev/null"), foreign}) {
        SCOPED_TRACE(input);
        const int fd = ::open(input.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ::dup2(fd, STDIN_FILENO);
        ::close(fd);
        std::vector<std::string> log;
        LinuxDesktop desktop([&log](const std::string& text) { log.push_back(text); });
        // Unset, a service stop always completes.
        const std::pair<const char*, bool> answers[] = {
            {nullptr, true}, {"no", false}, {"YES", true}};
        for (const auto& [answer, yes] : answers) {
            set("BW_QUESTION_ANSWER", answer);
            EXPECT_EQ(desktop.AskYesNo("Quit?", "Brimwarden"), yes) << (answer ? answer : "unset");
        }
        ::unsetenv("BW_QUESTION_ANSWER");
        EXPECT_EQ(log, (std::vector<std::string>{"Quit? - answered Yes", "Quit? - answered No",
                                                 "Quit? - answered Yes"}));
        const std::pair<const char*, const char*> choices[] = {
            {nullptr, ""}, {"German", "German"}, {"german", "German"}, {"Klingon", ""}};
        for (const auto& [env, chosen] : choices) {
            set("BW_LANGUAGE", env);
            EXPECT_EQ(desktop.ChooseLanguage({"English", "German"}), chosen)
                << (env ? env : "unset");
        }
        ::unsetenv("BW_LANGUAGE");
    }
    ::dup2(savedInput, STDIN_FILENO);
    ::close(savedInput);
    ::close(master);
}

}  // namespace
}  // namespace bw
