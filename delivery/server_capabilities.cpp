#include "delivery/server_capabilities.h"

#include <cctype>

namespace bw {

namespace {

bool SameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The next blank-separated word of `text` from `at` on ("" at the end).
std::string_view NextWord(std::string_view text, std::size_t& at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    const std::size_t begin = at;
    while (at < text.size() && text[at] != ' ' && text[at] != '\t') ++at;
    return text.substr(begin, at - begin);
}

// SIZE's parameter: a whole number of bytes; anything else (or one too large
// to be meant) announces no limit.
std::uint64_t SizeLimit(std::string_view word) {
    if (word.empty() || word.size() > 18) return 0;
    std::uint64_t n = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

void TakeLine(std::string_view line, ServerCapabilities& caps) {
    std::size_t at = 0;
    std::string_view keyword = NextWord(line, at);
    // "AUTH=LOGIN PLAIN", as servers that still serve old clients also say it.
    if (keyword.size() > 5 && SameWord(keyword.substr(0, 5), "AUTH=")) {
        at = line.find('=') + 1;
        keyword = "AUTH";
    }
    if (SameWord(keyword, "PIPELINING")) {
        caps.pipelining = true;
    } else if (SameWord(keyword, "8BITMIME")) {
        caps.eightBitMime = true;
    } else if (SameWord(keyword, "STARTTLS")) {
        caps.startTls = true;
    } else if (SameWord(keyword, "SIZE")) {
        caps.sizeOffered = true;
        caps.sizeLimit = SizeLimit(NextWord(line, at));
    } else if (SameWord(keyword, "AUTH")) {
        for (std::string_view m = NextWord(line, at); !m.empty(); m = NextWord(line, at)) {
            if (SameWord(m, "PLAIN")) caps.authPlain = true;
            if (SameWord(m, "LOGIN")) caps.authLogin = true;
        }
    }
}

}  // namespace

ServerCapabilities ReadCapabilities(std::string_view reply) {
    ServerCapabilities caps;
    if (!reply.starts_with("250")) return caps;
    std::size_t pos = 0;
    for (std::size_t n = 0; n < kMaxCapabilityLines && pos < reply.size(); ++n) {
        std::size_t end = reply.find("\r\n", pos);
        if (end == std::string_view::npos) end = reply.size();
        const std::string_view line = reply.substr(pos, end - pos);
        pos = end + 2;
        // The first line greets; each further one is "250-KEYWORD ..." or,
        // the last, "250 KEYWORD ...".
        if (n == 0 || line.size() < 4 || !line.starts_with("250")) continue;
        if (line[3] != '-' && line[3] != ' ') continue;
        TakeLine(line.substr(4), caps);
    }
    return caps;
}

}  // namespace bw
