// The queue dispatcher: folder toggle, claims, the limit of five deliveries,
// the intervals, and the end of the process when a queue folder vanishes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/delivery/delivery_fixture.h"
#include "tests/support/smtp_peer.h"

namespace bw::test {
namespace {

class DispatcherTest : public DeliveryTest {
  protected:
    void SetUp() override {
        DeliveryTest::SetUp();
        peer_.Start();
        S().smtpServers = {"127.0.0.1:" + std::to_string(peer_.Port())};
        StartQueueTimer();
    }
    void QueuePairs(const std::string& folder, int n, const std::string& prefix = "P") {
        for (int i = 0; i < n; ++i) {
            WritePair(folder, prefix + std::to_string(i),
                      Envelope("a@ext.example", {"b@corp.example"}), {"X", "hello"});
        }
    }
    SmtpPeer peer_;
};

TEST_F(DispatcherTest, NothingIsTouchedWithoutADatabaseConnectionObject) {
    QueuePairs("Inbox/", 2);
    dbUp_ = false;
    RunFor(20000, 50);
    EXPECT_EQ(peer_.Connections(), 0);
    EXPECT_EQ(OpenFileNoCount(), 0);
    EXPECT_EQ(WhereIs("Inbox/", "P0"), "queue");
    EXPECT_EQ(queueTimer_.Interval(), 5000);
}

TEST_F(DispatcherTest, ListsInboxAndOutboxInTurn) {
    QueuePairs("Outbox/", 1, "O");
    Scan();  // Inbox: empty
    EXPECT_EQ(active_, 0);
    EXPECT_EQ(queueTimer_.Interval(), 5000);
    EXPECT_TRUE(queueTimer_.Enabled());
    Scan();  // Outbox: one pair
    EXPECT_EQ(active_, 1);
    EXPECT_EQ(queueTimer_.Interval(), 500);
    EXPECT_TRUE(queueTimer_.Enabled());
    ASSERT_TRUE(RunUntilOutcomes(1));
    EXPECT_EQ(WhereIs("Outbox/", "O0"), "trash");
}

TEST_F(DispatcherTest, FiveAtOnceTheSixthAfterOneHasUnloaded) {
    QueuePairs("Inbox/", 6);
    Scan();
    EXPECT_EQ(active_, 5);
    EXPECT_EQ(OpenFileNoCount(), 10);
    EXPECT_EQ(WhereIs("Inbox/", "P5"), "queue");
    // The pairs in delivery are held: a second pass over the Inbox claims nothing.
    Scan();  // the Outbox
    Scan();
    EXPECT_EQ(active_, 5);
    ASSERT_TRUE(RunUntilOutcomes(6, 60000));
    EXPECT_EQ(active_, 0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(WhereIs("Inbox/", "P" + std::to_string(i)), "trash");
    EXPECT_EQ(peer_.Messages(), 6u);
    EXPECT_EQ(audit_.rows.size(), 6u);
    EXPECT_EQ(Delivered(), 6);
}

TEST_F(DispatcherTest, UnclaimablePairsAreSkippedQuietly) {
    // A ".dat" without its ".msg", and a pair whose ".dat" another process holds.
    WriteLines(Acc() + "Inbox/Lonely.dat", Envelope("a@ext.example", {"b@corp.example"}));
    QueuePairs("Inbox/", 1, "Held");
    const int fd = ::open((Acc() + "Inbox/Held0.dat").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    QueuePairs("Inbox/", 1, "Free");
    RunFor(20000, 50);
    EXPECT_EQ(WhereIs("Inbox/", "Free0"), "trash");
    EXPECT_EQ(WhereIs("Inbox/", "Held0"), "queue");
    EXPECT_TRUE(Exists(Acc() + "Inbox/Lonely.dat"));
    EXPECT_EQ(peer_.Messages(), 1u);
    EXPECT_EQ(LogText().find("Held0"), std::string::npos);
    EXPECT_EQ(OpenFileNoCount(), 0);
    ::close(fd);
    RunFor(20000, 50);
    EXPECT_EQ(WhereIs("Inbox/", "Held0"), "trash");
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
    EXPECT_EQ(peer_.Messages(), 2u);
    for (const char* f : {"UP.DAT", "UP.MSG", "MIX.Dat", "mix.msg"}) {
        EXPECT_TRUE(Exists(Acc() + "Trash/" + f)) << f;
        EXPECT_FALSE(Exists(Acc() + "Inbox/" + f)) << f;
    }
    // Without recipients: filed as bad, again under the names it had.
    EXPECT_TRUE(Exists(Acc() + "Outbox/BAD/Bad.dAt"));
    EXPECT_TRUE(Exists(Acc() + "Outbox/BAD/bAD.Msg"));
    EXPECT_EQ(OpenFileNoCount(), 0);
    EXPECT_EQ(Delivered(), 2);
}

using DispatcherDeathTest = DispatcherTest;

TEST_F(DispatcherDeathTest, VanishedQueueFolderEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::filesystem::remove_all(Acc() + "Outbox");
    Scan();  // Inbox is still there
    EXPECT_EXIT(Scan(), ::testing::ExitedWithCode(1), "queue folder missing");
}

}  // namespace
}  // namespace bw::test
