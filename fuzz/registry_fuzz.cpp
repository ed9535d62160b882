// Registry export files (the settings store): any bytes, UTF-16LE or 8-bit.
// A document that parses is written out, and what is written parses to the
// same document.
#include "fuzz/fuzz_input.h"
#include "platform/reg_document.h"

using namespace bw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RegDocument doc;
    std::string reason;
    if (!doc.Parse(std::string(reinterpret_cast<const char*>(data), size), reason)) {
        BW_FUZZ_CHECK(!reason.empty());
        return 0;
    }
    const std::string text = doc.Serialize();
    RegDocument again;
    BW_FUZZ_CHECK(again.Parse(text, reason));
    BW_FUZZ_CHECK(again.Serialize() == text);
    for (const RegKey& key : doc.Keys()) {
        BW_FUZZ_CHECK(again.HasKey(key.path));
        for (const auto& [name, value] : key.values) {
            const RegData* found = again.Find(key.path, name);
            BW_FUZZ_CHECK(found != nullptr);
        }
    }
    return 0;
}
