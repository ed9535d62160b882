// The answer to EHLO: any bytes are read without harm, and what is read
// depends only on the first kMaxCapabilityLines lines of a "250" reply.
#include <string>

#include "delivery/server_capabilities.h"
#include "fuzz/fuzz_input.h"

using namespace bw;

namespace {

bool Same(const ServerCapabilities& a, const ServerCapabilities& b) {
    return a.pipelining == b.pipelining && a.eightBitMime == b.eightBitMime &&
           a.startTls == b.startTls && a.sizeOffered == b.sizeOffered &&
           a.sizeLimit == b.sizeLimit && a.authPlain == b.authPlain && a.authLogin == b.authLogin;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const ServerCapabilities caps = ReadCapabilities(reply);
    if (!reply.starts_with("250")) BW_FUZZ_CHECK(Same(caps, ServerCapabilities{}));
    BW_FUZZ_CHECK(caps.sizeLimit == 0 || caps.sizeOffered);
    // Lines past the bound change nothing.
    std::string longer = reply;
    for (std::size_t i = 0; i < kMaxCapabilityLines; ++i) longer += "\r\n250-PIPELINING";
    std::size_t lines = 1;
    for (std::size_t at = reply.find("\r\n"); at != std::string::npos;
         at = reply.find("\r\n", at + 2)) {
        ++lines;
    }
    if (lines >= kMaxCapabilityLines) BW_FUZZ_CHECK(Same(caps, ReadCapabilities(longer)));
    return 0;
}
