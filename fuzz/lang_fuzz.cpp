// Language files: the English text looked up, then the file.
#include <algorithm>

#include "fuzz/fuzz_input.h"
#include "host/lang.h"
#include "host/textfile.h"

using namespace bw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::string key = in.Line();
    const std::vector<std::string> lines = SplitTextLines(in.Rest());
    const std::string text = FindLangText(lines, key);
    // A translation is a line of the file, never a header.
    if (!text.empty()) {
        BW_FUZZ_CHECK(text[0] != '[');
        BW_FUZZ_CHECK(std::find(lines.begin(), lines.end(), text) != lines.end());
    }
    return 0;
}
