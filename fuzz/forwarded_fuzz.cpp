// Forwarded.lst: every domain the file lists is found, in any letter case.
#include "fuzz/fuzz_input.h"
#include "host/settings.h"
#include "host/textfile.h"

using namespace bw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> lines =
        SplitTextLines(std::string(reinterpret_cast<const char*>(data), size));
    const std::string list = ForwardedListFromLines(lines);
    // The first lines suffice: the list is searched as a whole each time.
    for (std::size_t i = 0; i < lines.size() && i < 64; ++i) {
        const std::string& line = lines[i];
        BW_FUZZ_CHECK(ForwardedListHolds(list, line));
        std::string lower = line;
        for (char& c : lower) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        BW_FUZZ_CHECK(ForwardedListHolds(list, lower));
    }
    return 0;
}
