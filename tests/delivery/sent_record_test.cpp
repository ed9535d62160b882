// The sent record's file in the state folder, which others can reach: what
// stands under its name is used only when it is a regular file, and the
// record is never lost while it is not.
#include "delivery/sent_record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/fake_service.h"
#include "tests/support/temp_dir.h"

namespace bw::test {
namespace {

namespace fs = std::filesystem;

// A pipe in place of "sent-pairs" froze the daemon at the first server
// answer: the append opened it for writing and waited for a reader for ever,
// deaf to SIGTERM. Now the pipe is left alone, the record lives in memory
// (one journal error), and a regular file in its place again gets all of it.
TEST(SentRecordFile, PipeInItsPlaceNeitherFreezesNorLosesTheRecord) {
    ::alarm(60);  // a freeze ends the test program rather than holding it for ever
    const TempDir dir("bwsent");
    const std::string path = dir.Path() + "/sent-pairs";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    FakeService journal;
    SentRecord record(path, &journal);
    record.RememberSent({{1, 1, 1, 101}, "P1", false, 0});
    record.RememberSent({{1, 2, 1, 102}, "P2", true, 0});
    record.ForgetSent({1, 1, 1, 101});
    record.RememberSent({{1, 3, 1, 103}, "P3", false, 0});
    EXPECT_EQ(record.SentCount(), 2u);
    EXPECT_NE(record.FindSent({1, 2, 1, 102}, "P2"), nullptr);
    ASSERT_EQ(journal.events.size(), 1u);
    EXPECT_EQ(journal.events[0].type, 1);
    EXPECT_EQ(journal.events[0].text,
              "Sent record " + path +
                  " is a pipe (FIFO), not a regular file: not used; until it is, pairs taken are "
                  "remembered in memory only (after a restart they may be sent again)");
    EXPECT_TRUE(fs::is_fifo(path));

    // The pipe gone, the next line brings the whole record to a new file.
    fs::remove(path);
    record.RememberSent({{1, 4, 1, 104}, "P4", false, 0});
    EXPECT_EQ(journal.Count("Sent record " + path + " is written again"), 1);
    {
        SentRecord back(path, nullptr);
        EXPECT_EQ(back.SentCount(), 3u);
        EXPECT_NE(back.FindSent({1, 3, 1, 103}, "P3"), nullptr);
    }

    // Replaced under the open record (a pipe renamed over it): said again,
    // and a regular file there later again gets everything.
    const std::string pipe = dir.Path() + "/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    fs::rename(pipe, path);
    record.RememberSent({{1, 5, 1, 105}, "P5", false, 0});
    EXPECT_EQ(journal.Count(journal.events[0].text), 2);
    fs::remove(path);
    std::ofstream(path) << "+ 9 9 9 9 D 5858\n";  // a stray file: the record in memory wins
    record.ForgetSent({1, 2, 1, 102});
    SentRecord back(path, nullptr);
    EXPECT_EQ(back.SentCount(), 3u);
    EXPECT_EQ(back.FindSent({1, 2, 1, 102}, "P2"), nullptr);
    EXPECT_NE(back.FindSent({1, 5, 1, 105}, "P5"), nullptr);
    ::alarm(0);
}

}  // namespace
}  // namespace bw::test
