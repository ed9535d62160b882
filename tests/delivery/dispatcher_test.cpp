// The queue dispatcher on the fake server: the folder toggle, claims, the
// limit of five deliveries, the intervals, the end of the process when a queue
// folder vanishes (classic; the fast profile's watch waits for it); and hostile files in the
// account tree: links, hard links, pipes and folders in the place of queue files, folders and flag
// files, a lone ".dat" left by a cut filing. Nothing outside the tree is read or written, and every
// refusal is said (session log, journal, minilog).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "delivery/back_off.h"
#include "delivery/queue_watch.h"
#include "delivery/set_aside.h"
#include "tests/delivery/delivery_fixture.h"

namespace bw::test {
namespace {

namespace fs = std::filesystem;

class DispatcherTest : public DeliveryTest {
  protected:
    DispatcherTest() { fake_ = true; }
    void SetUp() override {
        DeliveryTest::SetUp();
        ServeFake();
        StartQueueTimer();
        // Outside the account tree: what a link may point at.
        outside_ = root_ + "/outside/";
        fs::create_directories(outside_ + "folder");
        WriteText(outside_ + "secret", "TOP-SECRET\r\n");
        WriteLines(outside_ + "envelope", Envelope("a@ext.example", {"b@corp.example"}));
    }
    void QueuePair(const std::string& folder, const std::string& name) {
        WritePair(folder, name, Envelope("a@ext.example", {"b@corp.example"}), {"X", "hello"});
    }
    void QueuePairs(const std::string& folder, int n, const std::string& prefix = "P") {
        for (int i = 0; i < n; ++i) QueuePair(folder, prefix + std::to_string(i));
    }
    static void WriteText(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    // Present under that name, of any kind (a dangling link counts).
    static bool Present(const std::string& path) {
        std::error_code ec;
        return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
    }
    /// How many minilog rows carry this action.
    long Actions(const std::string& action) const {
        return std::count_if(audit_.rows.begin(), audit_.rows.end(),
                             [&](const MinilogRow& r) { return r.action == action; });
    }
    int Journal(const std::string& part) const {
        int n = 0;
        for (const auto& e : service_.events) n += e.text.find(part) != std::string::npos ? 1 : 0;
        return n;
    }
    std::string outside_;
};

TEST_F(DispatcherTest, NothingIsTouchedWithoutADatabaseConnectionObject) {
    QueuePairs("Inbox/", 2);
    dbUp_ = false;
    RunFor(20000, 50);
    EXPECT_EQ(server_.connections, 0);
    EXPECT_EQ(delivery_->files.OpenFileNoCount(), 0);
    EXPECT_EQ(WhereIs("Inbox/", "P0"), "queue");
    EXPECT_EQ(queueTimer_.Interval(), 5000);
}

// The folders are listed in turn; five deliveries at once, the others wait
// until one has unloaded.
TEST_F(DispatcherTest, ListsInboxAndOutboxInTurnFiveAtOnce) {
    QueuePairs("Outbox/", 1, "O");
    Scan();  // Inbox: empty
    EXPECT_EQ(Running(), 0);
    EXPECT_EQ(queueTimer_.Interval(), 5000);
    EXPECT_TRUE(queueTimer_.Enabled());
    QueuePairs("Inbox/", 6);
    Scan();  // Outbox: one pair
    EXPECT_EQ(Running(), 1);
    EXPECT_EQ(queueTimer_.Interval(), 500);
    EXPECT_TRUE(queueTimer_.Enabled());
    Scan();  // Inbox: four of six
    EXPECT_EQ(Running(), 5);
    EXPECT_EQ(delivery_->files.OpenFileNoCount(), 10);
    EXPECT_EQ(WhereIs("Inbox/", "P4"), "queue");
    // The pairs in delivery are held: passes over both folders claim nothing.
    Scan();
    Scan();
    EXPECT_EQ(Running(), 5);
    ASSERT_TRUE(RunUntilOutcomes(7, 60000));
    EXPECT_EQ(Running(), 0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(WhereIs("Inbox/", "P" + std::to_string(i)), "trash");
    EXPECT_EQ(WhereIs("Outbox/", "O0"), "trash");
    EXPECT_EQ(server_.bodies.size(), 7u);
    EXPECT_EQ(audit_.rows.size(), 7u);
    EXPECT_EQ(Delivered(), 7);
}

// The fast profile's watch: a pair is claimed the moment it is complete,
// without the clock moving on. A server that is down sees at most
// "MaxSessions" attempts per rescan, not the whole queue run through as fast
// as connections fail; once it is back, the next rescan brings every pair not
// yet tried, and the ones tried wait for their back-off, until
// `bwtarnout --flush` asks for them at the next rescan.
TEST_F(DispatcherTest, FastWatchClaimsAtOnceAndSparesADownServer) {
    UseProfile(Profile::kFast);
    S().maxSessions = 3;
    server_.scripts = {{kRefuse}};
    ASSERT_FALSE(parts_->Start().Failed());
    EXPECT_EQ(queueTimer_.Interval(), 2000);
    QueuePairs("Inbox/", 30);
    RunFor(10000);
    EXPECT_GE(server_.attempts, 3);
    EXPECT_LE(server_.attempts, 2 * 3 + 5 * 3);
    EXPECT_EQ(WhereIs("Inbox/", "P29"), "queue");

    const auto tried = static_cast<std::size_t>(server_.attempts);
    ServeFake();
    ASSERT_TRUE(RunUntil([&] { return server_.bodies.size() == 30 - tried; }, 10000));
    RunFor(10000);
    EXPECT_EQ(server_.bodies.size(), 30 - tried);
    ErrorState unreadable;
    const std::vector<BackOffWait> waits = ReadBackOff(root_ + "/state", unreadable);
    ASSERT_EQ(waits.size(), tried);
    EXPECT_EQ(waits[0].reason, "unreachable");
    ASSERT_TRUE(RequestFlush(root_ + "/state", unreadable)) << unreadable.description;
    ASSERT_TRUE(RunUntil([&] { return server_.bodies.size() == 30; }, kRescanIntervalMs + 100));
    EXPECT_EQ(Journal("Flush asked for: the back-off of " + std::to_string(tried) +
                      " pairs dropped; every queued pair is tried at its next pass"),
              1);
    EXPECT_FALSE(FlushRequested(root_ + "/state"));
    EXPECT_TRUE(ReadBackOff(root_ + "/state", unreadable).empty());
    for (int i = 0; i < 30; ++i) EXPECT_EQ(WhereIs("Inbox/", "P" + std::to_string(i)), "trash");

    const std::int64_t before = clock_.MonotonicMs();
    QueuePair("Outbox/", "late");
    for (int i = 0; i < 2000 && server_.bodies.size() < 31; ++i) loop_.PollOnce();
    EXPECT_EQ(server_.bodies.size(), 31u);
    // A queue folder replaced by a new one is watched again.
    fs::rename(Acc() + "Inbox", Acc() + "OldInbox");
    fs::create_directories(Acc() + "Inbox");
    for (int i = 0; i < 50; ++i) loop_.PollOnce();
    QueuePair("Inbox/", "renewed");
    for (int i = 0; i < 2000 && server_.bodies.size() < 32; ++i) loop_.PollOnce();
    EXPECT_EQ(server_.bodies.size(), 32u);
    EXPECT_EQ(clock_.MonotonicMs(), before);
}

// Fast profile: a queue folder removed, or renamed away before a new one was
// made, ended the process with status 1 at once, and mail stopped for both
// queues. Now the other queue goes on, the journal says it once, and the
// folder is watched and listed again from the moment it is back.
TEST_F(DispatcherTest, FastWatchOutlivesAQueueFolderThatGoesAway) {
    UseProfile(Profile::kFast);
    ASSERT_FALSE(parts_->Start().Failed());
    const auto bodies = [&](std::size_t n) {
        return [&, n] { return server_.bodies.size() >= n; };
    };
    fs::remove_all(Acc() + "Inbox");
    RunFor(3 * kRescanIntervalMs);
    QueuePair("Outbox/", "O1");
    ASSERT_TRUE(RunUntil(bodies(1), 1000));
    EXPECT_EQ(WhereIs("Outbox/", "O1"), "trash");
    const std::string inboxGone = "Queue folder " + Acc() + "Inbox/ missing or unreadable";
    EXPECT_EQ(Journal(inboxGone), 1);

    fs::create_directories(Acc() + "Inbox");
    QueuePair("Inbox/", "I1");
    ASSERT_TRUE(RunUntil(bodies(2), kRescanIntervalMs + 100));
    EXPECT_EQ(WhereIs("Inbox/", "I1"), "trash");
    EXPECT_EQ(Journal("Queue folder " + Acc() + "Inbox/ is back"), 1);
    // Watched again: a new pair is claimed without the clock moving.
    QueuePair("Inbox/", "I2");
    for (int i = 0; i < 2000 && server_.bodies.size() < 3; ++i) loop_.PollOnce();
    EXPECT_EQ(server_.bodies.size(), 3u);

    // Renamed away, and the new folder made only after the watch has seen it go.
    fs::rename(Acc() + "Outbox", Acc() + "OldOutbox");
    RunFor(100);
    fs::create_directories(Acc() + "Outbox");
    QueuePair("Outbox/", "O2");
    ASSERT_TRUE(RunUntil(bodies(4), kRescanIntervalMs + 100));
    EXPECT_EQ(WhereIs("Outbox/", "O2"), "trash");
    EXPECT_EQ(Journal("Queue folder " + Acc() + "Outbox/ missing or unreadable"), 1);
    EXPECT_EQ(Journal(inboxGone), 1);
    EXPECT_EQ(Delivered(), 4);
}

// The listing ignores letter case, so the claim and the filing must too: a pair
// listed as "UP.DAT" is opened under that name, its partner found as "UP.MSG"
// (or "mix.msg" for "MIX.Dat"), and both move on under their own names.
TEST_F(DispatcherTest, PairsNamedInAnyLetterCaseAreClaimedAndFiledUnderTheirNames) {
    const auto env = Envelope("a@ext.example", {"b@corp.example"});
    WriteLines(Acc() + "Inbox/UP.DAT", env);
    WriteLines(Acc() + "Inbox/UP.MSG", {"X", "hello"});
    WriteLines(Acc() + "Inbox/MIX.Dat", env);
    WriteLines(Acc() + "Inbox/mix.msg", {"X", "hello"});
    WriteLines(Acc() + "Outbox/Bad.dAt", Envelope("a@ext.example", {}));
    WriteLines(Acc() + "Outbox/bAD.Msg", {"X", "hello"});
    ASSERT_TRUE(RunUntilOutcomes(3, 20000, 50));
    EXPECT_EQ(server_.bodies.size(), 2u);
    for (const char* f : {"UP.DAT", "UP.MSG", "MIX.Dat", "mix.msg"}) {
        EXPECT_TRUE(Exists(Acc() + "Trash/" + f)) << f;
        EXPECT_FALSE(Exists(Acc() + "Inbox/" + f)) << f;
    }
    // Without recipients: filed as bad, again under the names it had.
    EXPECT_TRUE(Exists(Acc() + "Outbox/BAD/Bad.dAt"));
    EXPECT_TRUE(Exists(Acc() + "Outbox/BAD/bAD.Msg"));
    EXPECT_EQ(delivery_->files.OpenFileNoCount(), 0);
    EXPECT_EQ(Delivered(), 2);
}

using DispatcherDeathTest = DispatcherTest;

TEST_F(DispatcherDeathTest, VanishedQueueFolderEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::filesystem::remove_all(Acc() + "Outbox");
    Scan();  // Inbox is still there
    EXPECT_EXIT(Scan(), ::testing::ExitedWithCode(1), "queue folder missing");
}

// A queue pair with a file that must never be read is set aside to BAD: the
// name moves (a link, never its target), nothing of it reaches the server.
TEST_F(DispatcherTest, PairsWithLinkedOrIrregularFilesAreSetAsideUnread) {
    struct Row {
        const char* name;
        std::function<void(const std::string& dat, const std::string& msg)> make;
        const char* why;
    };
    const Row rows[] = {
        {"SymMsg", [&](auto&, auto& msg) { fs::create_symlink(outside_ + "secret", msg); },
         "SymMsg.msg is a symbolic link"},
        {"HardMsg", [&](auto&, auto& msg) { fs::create_hard_link(outside_ + "secret", msg); },
         "HardMsg.msg is a hard link (more than one name)"},
        {"SymDat", [&](auto& dat, auto&) { fs::create_symlink(outside_ + "envelope", dat); },
         "SymDat.dat is a symbolic link"},
        {"Dangling", [&](auto&, auto& msg) { fs::create_symlink(outside_ + "nothing", msg); },
         "Dangling.msg is a symbolic link"},
        {"PipeMsg", [&](auto&, auto& msg) { ASSERT_EQ(::mkfifo(msg.c_str(), 0644), 0); },
         "PipeMsg.msg is not a regular file"},
        {"DirMsg", [&](auto&, auto& msg) { fs::create_directory(msg); },
         "DirMsg.msg is not a regular file"},
    };
    for (const Row& row : rows) {
        // The hostile file first; the other one of the pair as usual.
        const std::string q = Acc() + "Inbox/" + row.name;
        row.make(q + ".dat", q + ".msg");
        if (!Present(q + ".dat"))
            WriteLines(q + ".dat", Envelope("a@ext.example", {"b@c.example"}));
        if (!Present(q + ".msg")) WriteLines(q + ".msg", {"X", "hello"});
    }
    QueuePair("Inbox/", "Good");
    RunFor(20000, 50);

    EXPECT_EQ(server_.bodies.size(), 1u);
    for (const auto& body : server_.bodies) EXPECT_EQ(body.find("TOP-SECRET"), std::string::npos);
    EXPECT_EQ(WhereIs("Inbox/", "Good"), "trash");
    const std::string log = LogText();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string name = row.name;
        EXPECT_FALSE(Present(Acc() + "Inbox/" + name + ".dat"));
        EXPECT_FALSE(Present(Acc() + "Inbox/" + name + ".msg"));
        EXPECT_TRUE(Present(Acc() + "Inbox/BAD/" + name + ".dat"));
        EXPECT_TRUE(Present(Acc() + "Inbox/BAD/" + name + ".msg"));
        EXPECT_NE(log.find(std::string("!!! ERROR: ") + row.why + "; not sent, filed as bad\r\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(Actions("590 Peer Delivery ERROR " + name + " (" + row.why + ")"), 1);
    }
    // The targets stay where they were, untouched; the links moved.
    EXPECT_EQ(ReadText(outside_ + "secret"), "TOP-SECRET\r\n");
    EXPECT_TRUE(fs::is_symlink(Acc() + "Inbox/BAD/SymMsg.msg"));
    EXPECT_EQ(fs::hard_link_count(outside_ + "secret"), 2u);
    EXPECT_EQ(delivery_->files.OpenFileNoCount(), 0);
    EXPECT_EQ(Delivered(), 1);
}

// A BAD folder that is a link is never written through: the pairs that would
// go there stay in the queue and the filing failure is said (once for a
// set-aside, however often the scan comes back to it).
TEST_F(DispatcherTest, BadFolderThatIsALinkIsNotWrittenThrough) {
    fs::create_directory_symlink(outside_ + "folder", Acc() + "Outbox/BAD");
    WritePair("Outbox/", "NoRcpt", Envelope("a@ext.example", {}), {"X", "hello"});
    QueuePair("Outbox/", "Sym");
    fs::remove(Acc() + "Outbox/Sym.msg");
    fs::create_symlink(outside_ + "secret", Acc() + "Outbox/Sym.msg");
    RunFor(20000, 50);

    EXPECT_TRUE(fs::is_empty(outside_ + "folder"));
    EXPECT_EQ(WhereIs("Outbox/", "NoRcpt"), "queue");
    EXPECT_TRUE(Present(Acc() + "Outbox/Sym.dat"));
    EXPECT_TRUE(fs::is_symlink(Acc() + "Outbox/Sym.msg"));
    EXPECT_EQ(server_.connections, 0);
    const std::string log = LogText();
    EXPECT_NE(log.find("!!! ERROR: filing NoRcpt: "), std::string::npos) << log;
    EXPECT_NE(log.find("!!! ERROR: Sym.msg is a symbolic link; not sent\r\n"), std::string::npos);
    EXPECT_EQ(Actions("590 Peer Delivery ERROR Sym (Sym.msg is a symbolic link)"), 1);
    EXPECT_EQ(Journal("Queue pair " + Acc() + "Outbox/Sym not sent"), 1);
}

// The flag, the session log and the trash are written only as what they
// claim to be: a link in their place is replaced or refused, never followed.
TEST_F(DispatcherTest, FlagLogAndTrashAreNeverWrittenThroughLinks) {
    WriteText(outside_ + "flag", "KEEP");
    WriteText(outside_ + "log", "KEEP");
    fs::create_symlink(outside_ + "flag", Acc() + "Changed.flg");
    fs::create_symlink(outside_ + "log", delivery_->log.SessionLogPath(clock_.Now()));
    fs::remove(Acc() + "Trash");
    fs::create_directory_symlink(outside_ + "folder", Acc() + "Trash");
    QueuePair("Inbox/", "M1");
    QueuePair("Inbox/", "M2");
    ASSERT_TRUE(RunUntilOutcomes(2, 20000, 50));

    EXPECT_EQ(server_.bodies.size(), 2u);
    EXPECT_EQ(ReadText(outside_ + "flag"), "KEEP");
    EXPECT_EQ(ReadText(outside_ + "log"), "KEEP");
    EXPECT_TRUE(fs::is_empty(outside_ + "folder"));
    // The flag is a new regular file; no temporary name is left behind.
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Acc() + "Changed.flg")));
    for (const auto& e : fs::directory_iterator(Acc())) {
        EXPECT_EQ(e.path().filename().string().find("Changed.flg."), std::string::npos);
    }
    // Delivered: deleted, since the trash cannot take it.
    EXPECT_EQ(WhereIs("Inbox/", "M1"), "gone");
    EXPECT_EQ(Journal("Session log " + delivery_->log.SessionLogPath(clock_.Now()) +
                      " not written: it is a symbolic link"),
              1);
}

// A lone ".dat" (a filing cut short) is no work: the scan drops back to its
// long interval, and after ten minutes the file is set aside. A pair whose
// ".dat" another process holds is skipped quietly until it is let go.
TEST_F(DispatcherTest, UnclaimablePairsAreSkippedAndALoneDatIsSetAsideAfterTenMinutes) {
    WriteLines(Acc() + "Inbox/Old.dat", Envelope("a@ext.example", {"b@corp.example"}));
    WriteLines(Acc() + "Inbox/Young.dat", Envelope("a@ext.example", {"b@corp.example"}));
    const struct timespec old[2] = {{::time(nullptr) - kLoneDatSeconds - 60, 0},
                                    {::time(nullptr) - kLoneDatSeconds - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (Acc() + "Inbox/Old.dat").c_str(), old, 0), 0);
    Scan();  // Inbox
    EXPECT_EQ(queueTimer_.Interval(), 5000);
    EXPECT_TRUE(Present(Acc() + "Inbox/BAD/Old.dat"));
    EXPECT_FALSE(Present(Acc() + "Inbox/Old.dat"));
    EXPECT_NE(LogText().find("!!! ERROR: Old.dat has had no .msg partner for 10 minutes; "
                             "filed as bad\r\n"),
              std::string::npos)
        << LogText();
    EXPECT_EQ(Journal("Old.dat set aside"), 1);
    EXPECT_TRUE(audit_.rows.empty());

    QueuePair("Inbox/", "Held");
    const int fd = ::open((Acc() + "Inbox/Held.dat").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    QueuePair("Inbox/", "Free");
    RunFor(20000, 50);
    EXPECT_EQ(WhereIs("Inbox/", "Free"), "trash");
    EXPECT_EQ(WhereIs("Inbox/", "Held"), "queue");
    EXPECT_TRUE(Present(Acc() + "Inbox/Young.dat"));
    EXPECT_EQ(server_.bodies.size(), 1u);
    EXPECT_EQ(LogText().find("Held"), std::string::npos);
    EXPECT_EQ(delivery_->files.OpenFileNoCount(), 0);
    ::close(fd);
    RunFor(20000, 50);
    EXPECT_EQ(WhereIs("Inbox/", "Held"), "trash");
}

// No log line carries a raw control character: a bare LF in a server reply or
// in a queue file's name is shown as "\x0A"; a reply's own CR LF stays.
TEST_F(DispatcherTest, LogLinesCarryNoRawControlCharacter) {
    server_.scripts = {{"220 mx\n*--B<-R 250 forged\r\n", "554 no\r\n", kClose}};
    QueuePair("Inbox/", "M1");
    fs::create_symlink(outside_ + "secret", Acc() + "Inbox/Evil\nforged.msg");
    WriteLines(Acc() + "Inbox/Evil\nforged.dat", Envelope("a@ext.example", {"b@corp.example"}));
    ASSERT_TRUE(RunUntilOutcomes(1, 20000, 50));
    const std::string log = LogText();
    EXPECT_NE(log.find("*--B<-R 220 mx\\x0A*--B<-R 250 forged\r\n\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("!!! ERROR: Evil\\x0Aforged.msg is a symbolic link"), std::string::npos);
    // Every LF in the log ends a CR LF line.
    for (std::size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1)) {
        ASSERT_TRUE(at > 0 && log[at - 1] == '\r') << log.substr(0, at);
    }
    for (const auto& e : service_.events) EXPECT_EQ(e.text.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace bw::test
