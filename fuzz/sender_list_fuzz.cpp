// Sender list files (Allowed.lst, DisAllowed.lst): the sender and the return
// path, then the list; after a NUL byte, the file every "ALIAS:" line names.
// A match is exactly what adds to the cache.
#include "fuzz/fuzz_input.h"
#include "host/textfile.h"
#include "policy/policy_rules.h"

using namespace bw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::string from = in.Line();
    const std::string retPath = in.Line();
    const std::string rest = in.Rest();
    const std::size_t nul = rest.find('\0');
    const std::vector<std::string> lines = SplitTextLines(rest.substr(0, nul));
    const std::optional<std::vector<std::string>> alias =
        nul == std::string::npos ? std::nullopt
                                 : std::optional(SplitTextLines(rest.substr(nul + 1)));
    std::string cache = "\t";
    const std::int16_t found = SearchListLines(
        lines, from, retPath, cache,
        [&](const std::string& path) { return path.empty() ? std::nullopt : alias; });
    BW_FUZZ_CHECK(found == 0 || found == -1);
    BW_FUZZ_CHECK((found == -1) == (cache != "\t"));
    return 0;
}
