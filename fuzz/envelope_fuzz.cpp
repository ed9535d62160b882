// Queue envelopes (.dat): a line of forwarded domains (separated by blanks),
// then the file. Lines end as the queue reader ends them (CR LF or CR) and are
// cut as it cuts them. Nothing with a control character or a line too long
// is ever cleared for sending.
#include <algorithm>

#include "delivery/envelope.h"
#include "fuzz/fuzz_input.h"
#include "host/settings.h"
#include "policy/policy_rules.h"

using namespace bw;

namespace {
std::vector<std::string> DatLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t cr = text.find('\r', pos);
        const std::size_t end = cr == std::string::npos ? text.size() : cr;
        lines.push_back(text.substr(pos, std::min(end - pos, kMaxEnvelopeLine)));
        pos = end + 1;
        if (cr != std::string::npos && pos < text.size() && text[pos] == '\n') ++pos;
    }
    return lines;
}

bool Sendable(const std::string& s) {
    return s.size() < kMaxEnvelopeLine && std::none_of(s.begin(), s.end(), [](char c) {
               const auto u = static_cast<unsigned char>(c);
               return u < 0x20 || u == 0x7f;
           });
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::string forwarded = ForwardedListFromLines(SplitText(in.Line(), ' '));
    const Envelope env = ReadEnvelope(DatLines(in.Rest()), forwarded);
    BW_FUZZ_CHECK(env.helo.size() >= 6);
    switch (env.outcome) {
        case Envelope::Outcome::kSend:
            BW_FUZZ_CHECK(!env.recipients.empty());
            BW_FUZZ_CHECK(Sendable(env.helo) && Sendable(env.sender));
            BW_FUZZ_CHECK(std::all_of(env.recipients.begin(), env.recipients.end(), Sendable));
            break;
        case Envelope::Outcome::kNoRecipients:
            BW_FUZZ_CHECK(env.recipients.empty());
            break;
        case Envelope::Outcome::kLookupFailed:
        case Envelope::Outcome::kUnsafe:
            BW_FUZZ_CHECK(!env.reason.empty());
            break;
    }
    return 0;
}
