// The message's wire form: whatever the ".msg" file holds, the server reads
// the stored lines back and finds no end of data before the last line.
#include "delivery/body_wire.h"

#include <gtest/gtest.h>

#include <random>

#include "fuzz/body_wire_check.h"

namespace bw::test {
namespace {

// Files made of the bytes that matter ("." and line ends) with a little
// text between, in every split into pieces: the property holds for each, and
// the pieces give the bytes the whole file gives.
TEST(BodyWire, LenientServerReadsTheStoredLinesAndOneEndOfData) {
    std::mt19937 rng(20261207);
    const char alphabet[] = {'.', '.', '\r', '\n', 'a', 'M', ' '};
    std::uniform_int_distribution<int> pick(0, sizeof alphabet - 1);
    std::uniform_int_distribution<int> length(0, 40);
    for (int n = 0; n < 200000; ++n) {
        std::string file;
        const int len = length(rng);
        for (int i = 0; i < len; ++i) file.push_back(alphabet[pick(rng)]);
        const std::string wire = BodyWireOf(file);
        ASSERT_EQ(fuzz::WireProblem(file, wire), "") << testing::PrintToString(file);
        const std::size_t piece = 1 + static_cast<std::size_t>(n % 7);
        ASSERT_EQ(fuzz::WireInPieces(file, piece), wire) << testing::PrintToString(file);
    }
}

// The shapes seen in the wild, byte for byte: a dot line hidden behind bare
// LFs or a bare CR goes out stuffed, so the second conversation it carries
// stays text of the body.
TEST(BodyWire, SmugglingShapesGoOutStuffed) {
    const std::pair<std::string, std::string> rows[] = {
        {"X\r\n.\nMAIL FROM:<x@evil.test>\nRCPT TO:<v@corp.example>\nDATA\nforged body\r\n",
         "..\r\nMAIL FROM:<x@evil.test>\r\nRCPT TO:<v@corp.example>\r\nDATA\r\nforged body\r\n"
         ".\r\n"},
        {"X\r\n.\rQUIT\r\n", "..\r\nQUIT\r\n.\r\n"},
        {"X\r\n..\r\n.hidden\r\n", "...\r\n..hidden\r\n.\r\n"},
        {"X\r\nbody\r\n.\r\nnever sent\r\n", "body\r\n.\r\n"},
        {"X\r\nbody\r\n.", "body\r\n.\r\n"},
        {"X\r\nbody\r\n.\n", "body\r\n..\r\n.\r\n"},
        {"only the first line", ".\r\n"},
    };
    for (const auto& [file, wire] : rows) {
        EXPECT_EQ(BodyWireOf(file), wire) << testing::PrintToString(file);
    }
    BodyWire w;
    std::string out;
    EXPECT_EQ(w.Feed("X\r\na\nb\rc\r\n", out), 10u);
    EXPECT_EQ(w.BareBreaks(), 2u);
    const std::string rest = ".\r\nafter";
    EXPECT_EQ(w.Feed(rest, out), 3u);  // what follows the end line is not taken
    EXPECT_TRUE(w.Ended());
}

}  // namespace
}  // namespace bw::test
