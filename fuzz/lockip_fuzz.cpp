// LockIP.lst: one row per line, and a row written back reads as the same row
// (the written text is stable from the first save on).
#include "fuzz/fuzz_input.h"
#include "policy/policy_rules.h"

using namespace bw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<LockIPRecord> rows = ParseLockList(text);
    BW_FUZZ_CHECK(rows.size() == SplitLines(text).size());
    for (const LockIPRecord& r : rows) {
        const std::string line = LockLine(r);
        BW_FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        BW_FUZZ_CHECK(LockLine(ParseLockLine(line)) == line);
    }
    return 0;
}
