// The back-off and its record in the state folder: the steps of the wait, the
// record the queue view reads (emptied at each start, rewritten when it grows,
// never written through a link), and the flush `bwtarnout --flush` asks for.
#include "delivery/back_off.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/fake_service.h"
#include "tests/support/temp_dir.h"

namespace bw {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMinute = 60 * 1000;

TEST(BackOff, StepsUpToAnHourAndTheRecordSaysWhenAndWhy) {
    test::TempDir dir("backoff");
    const std::string state = dir.Path();
    FakeService journal;
    BackOff backOff(state, &journal);
    test::WriteFile(state + "/back-off", "+ 9 9 9 9 300000 1 deferred 6f6c64\n");  // a run before
    ErrorState err;
    ASSERT_TRUE(RequestFlush(state, err));
    backOff.Start();
    EXPECT_TRUE(ReadBackOff(state, err).empty());
    EXPECT_FALSE(FlushRequested(state));  // done by the start

    const PairId p1{1, 2, 1, 3};
    std::vector<std::int64_t> steps;
    for (int i = 0; i < 6; ++i) {
        steps.push_back(backOff.DeferPair(p1, "P1", "unreachable", 1000, 1796472000.5) / kMinute);
    }
    EXPECT_EQ(steps, (std::vector<std::int64_t>{5, 10, 20, 40, 60, 60}));
    EXPECT_EQ(backOff.RetryNotBefore(p1, "P1"), 1000 + 60 * kMinute);
    EXPECT_EQ(backOff.RetryNotBefore(p1, "other"), 0);  // other files under that name
    // Another pair on the same files starts again at the first step.
    EXPECT_EQ(backOff.DeferPair(p1, "P1b", "deferred", 2000, 1796472001) / kMinute, 5);
    const PairId p2{1, 4, 1, 5};
    backOff.DeferPair(p2, "P 2\n", "broken", 3000, 1796472002);

    std::vector<BackOffWait> waits = ReadBackOff(state, err);
    ASSERT_EQ(waits.size(), 2u) << test::ReadFile(state + "/back-off");
    EXPECT_EQ(waits[0].name, "P1b");
    EXPECT_EQ(waits[0].reason, "deferred");
    EXPECT_EQ(waits[0].notBefore, 1796472001 + 300);
    EXPECT_EQ(waits[1].name, "P 2\n");
    EXPECT_EQ(waits[1].waitMs, 5 * kMinute);

    backOff.ClearDeferral(p1);
    waits = ReadBackOff(state, err);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].id, p2);
    EXPECT_EQ(backOff.RetryNotBefore(p1, "P1b"), 0);

    // A flush: -1 while none is asked for, then every wait dropped, once.
    EXPECT_EQ(backOff.TakeFlushRequest(), -1);
    ASSERT_TRUE(RequestFlush(state, err)) << err.description;
    EXPECT_TRUE(FlushRequested(state));
    EXPECT_EQ(backOff.TakeFlushRequest(), 1);
    EXPECT_EQ(backOff.TakeFlushRequest(), -1);
    EXPECT_EQ(backOff.RetryNotBefore(p2, "P 2\n"), 0);
    EXPECT_TRUE(ReadBackOff(state, err).empty());
    EXPECT_FALSE(err.Failed());
    ASSERT_EQ(journal.events.size(), 1u);
    EXPECT_EQ(journal.events[0].text,
              "Flush asked for: the back-off of 1 pair dropped; every queued pair is tried at "
              "its next pass");

    ErrorState noFolder;
    EXPECT_FALSE(RequestFlush(state + "/missing", noFolder));
    EXPECT_NE(noFolder.description.find("no state folder"), std::string::npos);
}

// The record only shows what lives in memory: grown past 1 MB it is written
// anew, a pipe in its place is replaced at the start, and a link put there
// later is never written through (the journal says so once).
TEST(BackOff, RecordStaysSmallAndIsNeverWrittenThroughALink) {
    test::TempDir dir("backoff");
    const std::string state = dir.Path();
    FakeService journal;
    BackOff backOff(state, &journal);
    ASSERT_EQ(::mkfifo((state + "/back-off").c_str(), 0600), 0);  // no reader: must not block
    backOff.Start();
    const PairId id{1, 2, 1, 3};
    for (int i = 0; i < 30000; ++i) backOff.DeferPair(id, "P1", "deferred", i, 1796472000);
    EXPECT_LT(fs::file_size(state + "/back-off"), 1100u * 1024);
    ErrorState err;
    std::vector<BackOffWait> waits = ReadBackOff(state, err);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].waitMs, 60 * kMinute);
    EXPECT_TRUE(journal.events.empty());

    BackOff later(state, &journal);
    test::WriteFile(state + "/victim", "mine\n");
    fs::remove(state + "/back-off");
    fs::create_symlink(state + "/victim", state + "/back-off");
    later.DeferPair(id, "P1", "deferred", 0, 0);
    later.DeferPair({1, 4, 1, 5}, "P2", "deferred", 0, 0);
    EXPECT_EQ(test::ReadFile(state + "/victim"), "mine\n");
    ASSERT_EQ(journal.events.size(), 1u);
    EXPECT_NE(journal.events[0].text.find("cannot be written (a symbolic link)"), std::string::npos)
        << journal.events[0].text;
    EXPECT_TRUE(ReadBackOff(state, err).empty());
    EXPECT_TRUE(err.Failed());  // the view says nothing waits rather than follow the link
}

}  // namespace
}  // namespace bw
