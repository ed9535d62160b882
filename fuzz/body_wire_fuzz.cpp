// A ".msg" file in its wire form: whatever it holds, a lenient server reads
// the stored lines back and no end of data before the last line (see
// body_wire_check.h). Parameter line: the size of the pieces the file is fed
// in (the session reads it in pieces too).
#include <algorithm>

#include "fuzz/body_wire_check.h"
#include "fuzz/fuzz_input.h"

using namespace bw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::string param = in.Line();
    const std::size_t piece =
        std::max<std::size_t>(1, param.empty() ? 1 : static_cast<unsigned char>(param[0]));
    const std::string file = in.Rest();
    const std::string whole = BodyWireOf(file);
    BW_FUZZ_CHECK(fuzz::WireProblem(file, whole).empty());
    BW_FUZZ_CHECK(fuzz::WireInPieces(file, piece) == whole);
    return 0;
}
