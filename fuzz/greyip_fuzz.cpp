// GreyIP.lst: one entry per line, and an entry written back reads as the same
// entry (the written text is stable from the first save on).
#include "fuzz/fuzz_input.h"
#include "host/textfile.h"
#include "policy/policy_rules.h"

using namespace bw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> lines =
        SplitTextLines(std::string(reinterpret_cast<const char*>(data), size));
    const std::vector<GreyEntry> entries = ParseGreyList(lines);
    BW_FUZZ_CHECK(entries.size() == lines.size());
    for (const GreyEntry& e : entries) {
        const std::string line = GreyLine(e);
        BW_FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        BW_FUZZ_CHECK(GreyLine(ParseGreyLine(line)) == line);
    }
    return 0;
}
