// Hostile files in the account tree: links, hard links, pipes and folders in
// the place of queue files, folders and flag files; a lone ".dat" left by a
// cut filing. Nothing outside the tree is read or written, and every refusal
// is said (session log, journal, minilog).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "delivery/set_aside.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/smtp_peer.h"

namespace bw::test {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

class HostileFilesTest : public DeliveryTest {
  protected:
    void SetUp() override {
        DeliveryTest::SetUp();
        peer_.Start();
        S().smtpServers = {"127.0.0.1:" + std::to_string(peer_.Port())};
        // Outside the account tree: what a link may point at.
        outside_ = root_ + "/outside/";
        fs::create_directories(outside_ + "folder");
        WriteText(outside_ + "secret", "TOP-SECRET\r\n");
        WriteLines(outside_ + "envelope", Envelope("a@ext.example", {"b@corp.example"}));
    }
    static void WriteText(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string ReadText(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    // Present under that name, of any kind (a dangling link counts).
    static bool Present(const std::string& path) {
        std::error_code ec;
        return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
    }
    void QueuePair(const std::string& folder, const std::string& name) {
        WritePair(folder, name, Envelope("a@ext.example", {"b@corp.example"}), {"X", "hello"});
    }
    std::vector<std::string> Actions() const {
        std::vector<std::string> actions;
        for (const tMinLog& r : audit_.rows) actions.push_back(r.sAction);
        return actions;
    }
    int Journal(const std::string& part) const {
        int n = 0;
        for (const auto& e : service_.events) n += e.text.find(part) != std::string::npos ? 1 : 0;
        return n;
    }
    SmtpPeer peer_;
    std::string outside_;
};

// A queue pair with a file that must never be read is set aside to BAD: the
// name moves (a link, never its target), nothing of it reaches the server.
TEST_F(HostileFilesTest, PairsWithLinkedOrIrregularFilesAreSetAsideUnread) {
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
    StartQueueTimer();
    RunFor(20000, 50);

    EXPECT_EQ(peer_.Messages(), 1u);
    for (const auto& body : peer_.Bodies()) EXPECT_EQ(body.find("TOP-SECRET"), std::string::npos);
    EXPECT_EQ(WhereIs("Inbox/", "Good"), "trash");
    const std::string log = LogText();
    const auto actions = Actions();
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
        EXPECT_EQ(std::count(actions.begin(), actions.end(),
                             "590 Peer Delivery ERROR " + name + " (" + row.why + ")"),
                  1);
    }
    // The targets stay where they were, untouched; the links moved.
    EXPECT_EQ(ReadText(outside_ + "secret"), "TOP-SECRET\r\n");
    EXPECT_TRUE(fs::is_symlink(Acc() + "Inbox/BAD/SymMsg.msg"));
    EXPECT_EQ(fs::hard_link_count(outside_ + "secret"), 2u);
    EXPECT_EQ(OpenFileNoCount(), 0);
    EXPECT_EQ(Delivered(), 1);
}

// A BAD folder that is a link is never written through: the pairs that would
// go there stay in the queue and the filing failure is said (once for a
// set-aside, however often the scan comes back to it).
TEST_F(HostileFilesTest, BadFolderThatIsALinkIsNotWrittenThrough) {
    fs::create_directory_symlink(outside_ + "folder", Acc() + "Outbox/BAD");
    WritePair("Outbox/", "NoRcpt", Envelope("a@ext.example", {}), {"X", "hello"});
    QueuePair("Outbox/", "Sym");
    fs::remove(Acc() + "Outbox/Sym.msg");
    fs::create_symlink(outside_ + "secret", Acc() + "Outbox/Sym.msg");
    StartQueueTimer();
    RunFor(20000, 50);

    EXPECT_TRUE(fs::is_empty(outside_ + "folder"));
    EXPECT_EQ(WhereIs("Outbox/", "NoRcpt"), "queue");
    EXPECT_TRUE(Present(Acc() + "Outbox/Sym.dat"));
    EXPECT_TRUE(fs::is_symlink(Acc() + "Outbox/Sym.msg"));
    EXPECT_EQ(peer_.Connections(), 0);
    const std::string log = LogText();
    EXPECT_NE(log.find("!!! ERROR: filing NoRcpt: "), std::string::npos) << log;
    EXPECT_NE(log.find("!!! ERROR: Sym.msg is a symbolic link; not sent\r\n"), std::string::npos);
    const auto actions = Actions();
    EXPECT_EQ(std::count(actions.begin(), actions.end(),
                         "590 Peer Delivery ERROR Sym (Sym.msg is a symbolic link)"),
              1);
    EXPECT_EQ(Journal("Queue pair " + Acc() + "Outbox/Sym not sent"), 1);
}

// The flag, the session log and the trash are written only as what they
// claim to be: a link in their place is replaced or refused, never followed.
TEST_F(HostileFilesTest, FlagLogAndTrashAreNeverWrittenThroughLinks) {
    WriteText(outside_ + "flag", "KEEP");
    WriteText(outside_ + "log", "KEEP");
    fs::create_symlink(outside_ + "flag", Acc() + "Changed.flg");
    fs::create_symlink(outside_ + "log", delivery_->log.SessionLogPath(clock_.Now()));
    fs::remove(Acc() + "Trash");
    fs::create_directory_symlink(outside_ + "folder", Acc() + "Trash");
    QueuePair("Inbox/", "M1");
    QueuePair("Inbox/", "M2");
    StartQueueTimer();
    ASSERT_TRUE(RunUntilOutcomes(2, 20000, 50));

    EXPECT_EQ(peer_.Messages(), 2u);
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
// long interval, and after ten minutes the file is set aside.
TEST_F(HostileFilesTest, LoneDatIsSetAsideAfterTenMinutesAndIsNoWork) {
    WriteLines(Acc() + "Inbox/Old.dat", Envelope("a@ext.example", {"b@corp.example"}));
    WriteLines(Acc() + "Inbox/Young.dat", Envelope("a@ext.example", {"b@corp.example"}));
    const struct timespec old[2] = {{::time(nullptr) - kLoneDatSeconds - 60, 0},
                                    {::time(nullptr) - kLoneDatSeconds - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (Acc() + "Inbox/Old.dat").c_str(), old, 0), 0);
    StartQueueTimer();
    Scan();  // Inbox
    EXPECT_EQ(queueTimer_.Interval(), 5000);
    EXPECT_TRUE(Present(Acc() + "Inbox/BAD/Old.dat"));
    EXPECT_FALSE(Present(Acc() + "Inbox/Old.dat"));
    EXPECT_TRUE(Present(Acc() + "Inbox/Young.dat"));
    EXPECT_NE(LogText().find("!!! ERROR: Old.dat has had no .msg partner for 10 minutes; "
                             "filed as bad\r\n"),
              std::string::npos)
        << LogText();
    EXPECT_EQ(Journal("Old.dat set aside"), 1);
    EXPECT_TRUE(audit_.rows.empty());
    EXPECT_EQ(OpenFileNoCount(), 0);
}

// No log line carries a raw control character: a bare LF in a server reply or
// in a queue file's name is shown as "\x0A"; a reply's own CR LF stays.
TEST_F(HostileFilesTest, LogLinesCarryNoRawControlCharacter) {
    SmtpPeer forger;
    forger.Send("220 mx\n*--B<-R 250 forged\r\n").Expect("HELO").Send("554 no\r\n").Drop();
    forger.Start();
    S().smtpServers = {"127.0.0.1:" + std::to_string(forger.Port())};
    QueuePair("Inbox/", "M1");
    fs::create_symlink(outside_ + "secret", Acc() + "Inbox/Evil\nforged.msg");
    WriteLines(Acc() + "Inbox/Evil\nforged.dat", Envelope("a@ext.example", {"b@corp.example"}));
    StartQueueTimer();
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
