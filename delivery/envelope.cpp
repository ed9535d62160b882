#include "delivery/envelope.h"

#include <cstdio>
#include <utility>

#include "host/settings.h"

namespace bw {

std::string GetDomain(const std::string& address, ErrorState& err) {
    if (address.empty()) return "";
    const auto at = address.find('@');
    if (at == std::string::npos) {
        err.Raise(5, "no \"@\" in address \"" + address + "\"");
        return "";
    }
    const auto next = address.find('@', at + 1);
    return address.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
}

namespace {

/// Index of the first control character (or npos).
std::size_t FindControl(const std::string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7f) return i;
    }
    return std::string::npos;
}

// An envelope line with a line feed, NUL or other control character would put
// extra commands on the wire, and one of 64 KB or more is no address or
// command any server takes.
bool FindUnsafeLine(Envelope& env) {
    std::vector<std::pair<std::string, const std::string*>> lines = {
        {"greeting command", &env.helo}, {"sender", &env.sender}};
    for (std::size_t i = 0; i < env.recipients.size(); ++i) {
        lines.emplace_back("recipient " + std::to_string(i + 1), &env.recipients[i]);
    }
    for (const auto& [what, line] : lines) {
        if (line->size() >= kMaxEnvelopeLine) {
            env.reason = "envelope " + what + " longer than " +
                         std::to_string(kMaxEnvelopeLine - 1) + " characters";
            return true;
        }
        const std::size_t at = FindControl(*line);
        if (at == std::string::npos) continue;
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>((*line)[at]));
        env.reason = "envelope " + what + " holds control character " + code;
        env.where = " at position " + std::to_string(at + 1);
        return true;
    }
    return false;
}

}  // namespace

Envelope ReadEnvelope(const std::vector<std::string>& lines, const std::string& forwardedList) {
    Envelope env;
    std::size_t next = 1;  // line 0 is the header
    // A missing line reads as empty.
    auto take = [&]() { return next < lines.size() ? lines[next++] : std::string(); };
    env.helo = take();
    env.sender = take();
    if (env.sender == env.helo) env.sender = take();
    if (env.helo.size() < 6) env.helo = "HELO BWDTarnOUT";
    env.senderAsRead = env.sender;

    ErrorState lookup;
    for (; next < lines.size(); ++next) {
        const std::string& rcpt = lines[next];
        // An overlong recipient is kept in part only (its "@" may be in the
        // cut rest): it is filed as bad below, not looked up.
        ErrorState one;
        const std::string domain = rcpt.size() < kMaxEnvelopeLine ? GetDomain(rcpt, one) : "";
        if (one.Failed()) {
            lookup.Raise(one.number, one.description);
        } else if (ForwardedListHolds(forwardedList, domain)) {
            env.sender.clear();
        }
        env.recipients.push_back(rcpt);
    }
    if (lookup.Failed()) {
        env.outcome = Envelope::Outcome::kLookupFailed;
        env.reason = lookup.description;
        return env;
    }
    if (env.recipients.empty()) {
        env.outcome = Envelope::Outcome::kNoRecipients;
        return env;
    }
    // A sender without "@" has no domain to look up and is sent as it stands.
    ErrorState senderLookup;
    const std::string senderDomain = GetDomain(env.sender, senderLookup);
    if (!senderLookup.Failed() && ForwardedListHolds(forwardedList, senderDomain)) {
        env.sender.clear();
    }
    if (FindUnsafeLine(env)) env.outcome = Envelope::Outcome::kUnsafe;
    return env;
}

}  // namespace bw
