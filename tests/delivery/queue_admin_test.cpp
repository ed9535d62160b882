// The administrator's queue commands: a pair moved or deleted only once it
// is claimed by the daemon's own lock rule, names looked up as the queue
// view shows them, files that are not what their names say never moved; and
// the real program beside a running daemon (--hold, --release, --requeue,
// --delete, --flush, the queue view's marks, the usage errors).
#include "delivery/queue_admin.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "delivery/back_off.h"
#include "tests/support/installation.h"
#include "tests/support/temp_dir.h"

namespace bw {
namespace {

namespace fs = std::filesystem;
using Kind = QueueAdminResult::Kind;

// Holds an exclusive lock on a file as a delivery or a writer would.
class HeldLock {
  public:
    explicit HeldLock(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0) << path;
    }
    ~HeldLock() { ::close(fd_); }

  private:
    int fd_;
};

class QueueAdmin : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* f : {"Inbox/BAD", "Outbox/BAD"}) fs::create_directories(acc_ + f);
    }
    void Pair(const std::string& path) {
        test::WriteFile(acc_ + path + ".msg", "X-Queue: 1\r\nhello\r\n");
        test::WriteFile(acc_ + path + ".dat",
                        "h\r\nHELO gw\r\na@ext.example\r\nb@corp.example\r\n");
    }
    QueueAdminResult Run(QueueAdminAction action, const std::string& name) {
        return RunQueueAdmin(action, acc_, name, 46361.5);
    }
    bool Exists(const std::string& path) const {
        struct stat st {};
        return ::lstat((acc_ + path).c_str(), &st) == 0;
    }

    test::TempDir dir_{"qadmin"};
    const std::string acc_ = dir_.Path() + "/TarnIN/";
};

TEST_F(QueueAdmin, MovesAPairOnlyWhereTheActionLeadsAndNeverOverAnother) {
    Pair("Inbox/Mixed");
    fs::rename(acc_ + "Inbox/Mixed.dat", acc_ + "Inbox/Mixed.DAT");
    fs::permissions(acc_ + "Inbox", fs::perms(0750));
    QueueAdminResult r = Run(QueueAdminAction::kHold, "mixed.dat");
    EXPECT_EQ(r.kind, Kind::kDone) << r.message;
    EXPECT_EQ(r.message, "Inbox/Mixed held in Inbox/Hold");  // as the files name it
    EXPECT_TRUE(Exists("Inbox/Hold/Mixed.DAT") && Exists("Inbox/Hold/Mixed.msg"));  // names kept
    EXPECT_FALSE(Exists("Inbox/Mixed.DAT") || Exists("Inbox/Mixed.msg"));
    EXPECT_EQ(fs::status(acc_ + "Inbox/Hold").permissions(), fs::perms(0750));  // like its queue
    EXPECT_EQ(test::ReadFile(acc_ + "Changed.flg"), "46361.5\r\n");

    // Each action takes pairs from its own folders only.
    r = Run(QueueAdminAction::kRequeue, "Inbox/Hold/Mixed");
    EXPECT_EQ(r.kind, Kind::kFailed);
    EXPECT_EQ(r.message, "--requeue takes pairs of Inbox/BAD or Outbox/BAD, not of Inbox/Hold");
    EXPECT_EQ(Run(QueueAdminAction::kHold, "Mixed").message, "no pair Mixed in Inbox or Outbox");
    r = Run(QueueAdminAction::kRelease, "Inbox/Hold/Mixed");
    EXPECT_EQ(r.message, "Inbox/Hold/Mixed released to Inbox");
    EXPECT_TRUE(Exists("Inbox/Mixed.DAT") && Exists("Inbox/Mixed.msg"));

    // A name taken in the target folder: nothing moves.
    Pair("Inbox/BAD/Mixed");
    r = Run(QueueAdminAction::kRequeue, "Mixed");
    EXPECT_EQ(r.kind, Kind::kFailed);
    EXPECT_EQ(r.message, "Inbox/Mixed.msg exists already: nothing moved");
    EXPECT_TRUE(Exists("Inbox/BAD/Mixed.msg") && Exists("Inbox/BAD/Mixed.dat"));
    // A name in two folders must be given with its folder.
    r = Run(QueueAdminAction::kDelete, "Mixed");
    EXPECT_EQ(r.message, "Mixed is in Inbox and Inbox/BAD: name its folder (Inbox/Mixed)");
    EXPECT_EQ(Run(QueueAdminAction::kDelete, "Inbox/BAD/Mixed").message, "Inbox/BAD/Mixed deleted");
    EXPECT_FALSE(Exists("Inbox/BAD/Mixed.msg") || Exists("Inbox/BAD/Mixed.dat"));
    EXPECT_EQ(Run(QueueAdminAction::kDelete, "Inbox/../x").kind, Kind::kFailed);
    EXPECT_TRUE(Exists("Inbox/Mixed.DAT"));
}

// A pair whose lock another process holds is being sent: left alone after
// the wait. Links, hard links and lone envelopes are never moved, only deleted
// (the name, never what a link points to).
TEST_F(QueueAdmin, LeavesALockedPairAndMovesNoFileThatIsNotWhatItsNameSays) {
    Pair("Outbox/busy");
    {
        HeldLock lock(acc_ + "Outbox/busy.msg");
        const auto start = std::chrono::steady_clock::now();
        const QueueAdminResult r = Run(QueueAdminAction::kHold, "busy");
        EXPECT_EQ(r.kind, Kind::kBeingSent);
        EXPECT_EQ(r.message,
                  "Outbox/busy is being sent (another process holds its lock): nothing done; try "
                  "again later");
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        EXPECT_TRUE(Exists("Outbox/busy.dat") && Exists("Outbox/busy.msg"));
        EXPECT_FALSE(Exists("Changed.flg"));
    }
    EXPECT_EQ(Run(QueueAdminAction::kHold, "busy").kind, Kind::kDone);

    test::WriteFile(dir_.Path() + "/target", "not queue mail");
    test::WriteFile(acc_ + "Outbox/BAD/ln.dat", "h\r\n");
    fs::create_symlink(dir_.Path() + "/target", acc_ + "Outbox/BAD/ln.msg");
    QueueAdminResult r = Run(QueueAdminAction::kRequeue, "ln");
    EXPECT_EQ(r.message,
              "Outbox/BAD/ln: ln.msg is a symbolic link; not moved (--delete removes it)");
    EXPECT_EQ(Run(QueueAdminAction::kDelete, "ln").kind, Kind::kDone);
    EXPECT_FALSE(Exists("Outbox/BAD/ln.msg") || Exists("Outbox/BAD/ln.dat"));
    EXPECT_EQ(test::ReadFile(dir_.Path() + "/target"), "not queue mail");

    Pair("Inbox/hard");
    fs::create_hard_link(acc_ + "Inbox/hard.dat", dir_.Path() + "/second-name");
    r = Run(QueueAdminAction::kHold, "hard");
    EXPECT_EQ(r.message,
              "Inbox/hard: hard.dat is a hard link (more than one name); not moved (--delete "
              "removes it)");
    EXPECT_TRUE(Exists("Inbox/hard.dat"));

    test::WriteFile(acc_ + "Inbox/BAD/lone.dat", "h\r\n");
    EXPECT_EQ(Run(QueueAdminAction::kRequeue, "lone").message,
              "Inbox/BAD/lone has no .msg: not moved (--delete removes it)");
    EXPECT_EQ(Run(QueueAdminAction::kDelete, "lone").message, "Inbox/BAD/lone deleted");
}

// --- The real program beside a running daemon.

// Port 1 on 127.0.0.1: nobody listens, every attempt leaves its pair queued.
constexpr int kNoServerPort = 1;

bool WaitFor(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

TEST(QueueCommands, WorkBesideTheRunningDaemon) {
    test::Installation inst(kNoServerPort);
    inst.Queue("Inbox/", "q1", test::Envelope("alice@ext.example", {"bob@corp.example"}));
    inst.Queue("Inbox/", "q2", test::Envelope("carol@ext.example", {"dave@corp.example"}));
    test::WriteFile(inst.Acc() + "Outbox/BAD/bad1.msg", "X-Queue: 1\r\nhi\r\n");
    test::WriteFile(inst.Acc() + "Outbox/BAD/bad1.dat", "h\r\nHELO gw\r\ns@x.example\r\nr@y\r\n");
    inst.Start();
    ErrorState err;
    ASSERT_TRUE(WaitFor([&] { return ReadBackOff(inst.StateDir(), err).size() == 2; }, 30))
        << inst.DaemonLog();

    std::string out, errText;
    ASSERT_EQ(inst.RunCommand({"--queue"}, out, errText), 0) << errText;
    EXPECT_NE(out.find("  to:   bob@corp.example\n  next: "), std::string::npos) << out;
    EXPECT_NE(out.find(" (back-off 5 min: no server could be reached)\n"), std::string::npos);

    // Held while the daemon runs: it waits in Hold, out of the daemon's reach.
    ASSERT_EQ(inst.RunCommand({"--hold", "q1"}, out, errText), 0) << errText;
    EXPECT_EQ(out, "Inbox/q1 held in Inbox/Hold\n");
    ASSERT_EQ(inst.RunCommand({"--flush"}, out, errText), 0) << errText;
    EXPECT_NE(out.find("1 pair waits for its back-off; the daemon tries every queued pair at its "
                       "next pass\n"),
              std::string::npos)
        << out;
    ASSERT_TRUE(WaitFor([&] { return !FlushRequested(inst.StateDir()); }, 15));
    EXPECT_NE(inst.DaemonLog().find("Flush asked for: the back-off of 2 pairs dropped"),
              std::string::npos)
        << inst.DaemonLog();
    EXPECT_EQ(inst.Files("Inbox/Hold/", ".dat"), 1);

    // A pair whose lock is held is being sent: the view marks it, the commands leave it.
    {
        HeldLock lock(inst.Acc() + "Inbox/q2.dat");
        ASSERT_EQ(inst.RunCommand({"--queue", "--json"}, out, errText), 0) << errText;
        EXPECT_NE(out.find("\"name\": \"q2\", \"age_seconds\": "), std::string::npos) << out;
        EXPECT_NE(out.find("\"being_sent\": true, \"unreadable\": null, \"sender\": "
                           "\"carol@ext.example\""),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("{\"folder\": \"Inbox/Hold\", \"name\": \"q1\""), std::string::npos);
        EXPECT_NE(out.find("\"being_sent\": 1, \"unreadable\": 0}"), std::string::npos);
        EXPECT_EQ(inst.RunCommand({"--delete", "Inbox/q2"}, out, errText), 75);
        EXPECT_EQ(errText,
                  "bwtarnout: Inbox/q2 is being sent (another process holds its lock): nothing "
                  "done; try again later\n");
    }
    ASSERT_EQ(inst.RunCommand({"--requeue", "bad1"}, out, errText), 0) << errText;
    EXPECT_EQ(out, "Outbox/BAD/bad1 requeued to Outbox\n");
    ASSERT_EQ(inst.RunCommand({"--release", "Inbox/Hold/q1.dat"}, out, errText), 0) << errText;
    EXPECT_EQ(inst.RunCommand({"--release", "q1"}, out, errText), 1);
    EXPECT_EQ(errText, "bwtarnout: no pair q1 in Inbox/Hold or Outbox/Hold\n");
    ASSERT_EQ(inst.RunCommand({"--delete", "Inbox/q2"}, out, errText), 0) << errText;
    EXPECT_EQ(inst.Files("Inbox/", ".dat") + inst.Files("Outbox/", ".dat"), 2);
    EXPECT_TRUE(inst.Running()) << inst.DaemonLog();
    inst.Terminate();

    // Usage errors: one line naming the option, nothing done.
    const std::vector<std::pair<test::Strings, std::string>> usage = {
        {{"--hold"}, "option '--hold' needs the name of a pair"},
        {{"--delete", "--HKCU"}, "option '--delete' needs the name of a pair"},
        {{"--queue", "--flush"}, "options '--queue' and '--flush' do not go together"},
        {{"--help", "--queue"}, "options '--queue' and '--help' do not go together"},
        {{"--flush", "--json"}, "option '--json' goes with '--queue' only, not with '--flush'"},
        {{"--release", "q1", "--now"}, "unknown option '--now'"}};
    for (const auto& [args, why] : usage) {
        EXPECT_EQ(inst.RunCommand(args, out, errText), 2) << why;
        EXPECT_EQ(errText, "bwtarnout: " + why + "; see 'bwtarnout --help'\n");
        EXPECT_EQ(out, "");
    }
    EXPECT_EQ(inst.Files("Inbox/", ".dat"), 1);
}

}  // namespace
}  // namespace bw
