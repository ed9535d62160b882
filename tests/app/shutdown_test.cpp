#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "host/lang.h"
#include "tests/app/daemon_fixture.h"

namespace bw {
namespace {

using test::DaemonTest;

class ShutdownTest : public DaemonTest {
  protected:
    void SetUp() override {
        Put(appDir_ + "lang/English.lng",
            "[THERE ARE TRANFERS RUNNING! QUIT ANYWAYS?]\r\nEs laufen noch Transfers!\r\n");
        Store("General", "AppPath", appDir_);
        Load();
    }
    /// A fresh process with its main window loaded.
    void Load() {
        Restart();
        ASSERT_TRUE(Start());
        t0_ = clock_.MonotonicMs();
    }
    /// Closes the main window; the virtual seconds until the process ended.
    double CloseAndTimeTheEnd() {
        try {
            daemon_->Close();
        } catch (const ProcessEnded&) {
            return static_cast<double>(clock_.MonotonicMs() - t0_) / 1000.0;
        }
        ADD_FAILURE() << "Close returned without ending the process";
        return -1;
    }
    std::int64_t t0_ = 0;
};

// Each tick of the shutdown timer: running deliveries get 30 ticks, then one
// question (No by default) that, answered No, gives them 30 more; with none
// left the icon goes and the process ends. A second stop request while the
// first waits changes nothing.
TEST_F(ShutdownTest, RunningDeliveriesDelayTheEnd) {
    struct Row {
        const char* label;
        int active;
        int finishMs;  // 0: they never finish
        std::vector<bool> answers;
        double from, to;  // seconds until the end
        std::size_t questions;
    };
    const Row rows[] = {
        {"idle: the first tick", 0, 0, {}, 1.0, 1.05, 0},
        {"ending within 30 ticks: never asked", 1, 12500, {}, 13.0, 13.1, 0},
        {"outlasting 30 ticks: asked once", 2, 45000, {}, 45.0, 46.1, 1},
        {"No: asked again at tick 62", 1, 0, {false, true}, 62.0, 62.2, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        Load();
        int running = row.active;
        daemon_->shutdown.CountRunningWith([&running] { return running; });
        desktop_.answers = row.answers;
        desktop_.questions.clear();
        Timer finish(loop_, row.finishMs + 1, row.finishMs > 0, [&running] { running = 0; });
        bool again = true;
        Timer second(loop_, 300, true, [&] {
            if (std::exchange(again, false)) daemon_->Close();
        });
        const double s = CloseAndTimeTheEnd();
        EXPECT_GE(s, row.from);
        EXPECT_LT(s, row.to);
        EXPECT_FALSE(desktop_.iconShown);
        EXPECT_EQ(process_.lastExitCode, 0);
        ASSERT_EQ(desktop_.questions.size(), row.questions);
        if (row.questions > 0) {
            EXPECT_EQ(desktop_.questions[0], "Es laufen noch Transfers!");
        }
    }
}

TEST_F(ShutdownTest, LanguageLookup) {
    struct Case {
        const char* label;
        const char* file;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"upper-cased header matches", "[HELLO]\r\nHallo\r\n", "Hello", "Hallo"},
        {"header compared after upper-casing", "[hello]\r\nHallo\r\n", "HELLO", "Hallo"},
        {"blank before [ does not match", " [HELLO]\r\nHallo\r\n", "Hello", ""},
        {"blank after ] does not match", "[HELLO] \r\nHallo\r\n", "Hello", ""},
        {"last line before next header", "[HELLO]\r\na\r\nb\r\n[X]\r\nc\r\n", "Hello", "b"},
        {"empty line last gives empty", "[HELLO]\r\nHallo\r\n\r\n[X]\r\n", "Hello", ""},
        {"entry at end of file", "[X]\r\nx\r\n[HELLO]\r\nHallo\r\nServus", "Hello", "Servus"},
        {"first of two entries", "[HELLO]\r\none\r\n[X]\r\n[HELLO]\r\ntwo\r\n", "Hello", "one"},
        {"repeated header goes on with the entry",
         "[HELLO]\r\none\r\n[hello]\r\ntwo\r\n[X]\r\nx\r\n", "Hello", "two"},
        {"missing key", "[X]\r\nx\r\n", "Hello", ""},
        {"LF line ends", "[HELLO]\nHallo\n[X]\n", "Hello", "Hallo"},
    };
    const std::string folder = appDir_ + "lang/";
    for (const auto& c : cases) {
        Put(folder + "Test.lng", c.file);
        EXPECT_EQ(LangText(*files_, folder + "Test.lng", c.key), c.expected) << c.label;
    }
    EXPECT_EQ(LangText(*files_, folder + "Gone.lng", "Hello"), "");

    // The language name from the settings may differ from the file's in case.
    std::filesystem::remove(folder + "Test.lng");
    Put(folder + "German.LNG", "[HELLO]\r\nHallo\r\n");
    EXPECT_EQ(LangFilePath(folder, "german.lng"), folder + "German.LNG");
    EXPECT_EQ(LangText(*files_, LangFilePath(folder, "german.lng"), "Hello"), "Hallo");
}

}  // namespace
}  // namespace bw
