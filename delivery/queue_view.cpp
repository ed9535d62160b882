#include "delivery/queue_view.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "delivery/envelope.h"

namespace bw {

namespace {

// Longest text of one field the table shows before "...".
constexpr std::size_t kShownField = 200;

// The code point of the well-formed UTF-8 sequence at `i` and its length, or
// length 0 when the byte there starts none (overlong forms, surrogates and
// values above U+10FFFF are not well formed).
std::size_t Utf8At(const std::string& s, std::size_t i, unsigned& cp) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned c = b(i);
    std::size_t n = 0;
    unsigned least = 0;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool IsControl(unsigned cp) {
    return cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
}

std::string Hex2(unsigned v, const char* prefix) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%02X", prefix, v);
    return buf;
}

// A field for the table, escaped as the log text is (platform/log_text.h):
// every byte of a control character (C1 ones too, which a terminal may obey)
// or of what is no UTF-8 as "\x" and two hex digits; long text cut after
// kShownField characters.
std::string Shown(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        if (out.size() >= kShownField) return out + "...";
        unsigned cp = 0;
        std::size_t n = Utf8At(s, i, cp);
        if (n == 0 || IsControl(cp)) {
            for (const std::size_t end = i + std::max<std::size_t>(n, 1); i < end; ++i) {
                out += Hex2(static_cast<unsigned char>(s[i]), "\\x");
            }
            continue;
        }
        out.append(s, i, n);
        i += n;
    }
    return out;
}

// A JSON string: well-formed UTF-8 passes, control characters are escaped,
// and a byte that is no UTF-8 stands for the Latin-1 character of its value.
std::string Json(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        unsigned cp = 0;
        std::size_t n = Utf8At(s, i, cp);
        const bool latin1 = n == 0;
        if (latin1) cp = static_cast<unsigned char>(s[i]), n = 1;
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == '\n' || cp == '\r' || cp == '\t') {
            out += cp == '\n' ? "\\n" : cp == '\r' ? "\\r" : "\\t";
        } else if (IsControl(cp) || latin1) {
            char buf[16];  // room for any value: -O3 warns on 8
            std::snprintf(buf, sizeof buf, "\\u%04X", cp);
            out += buf;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out + "\"";
}

std::string JsonOrNull(const std::optional<std::string>& s) {
    return s ? Json(*s) : "null";
}

// The pairs in each listed folder, in the order of kQueueListFolders.
struct Counts {
    std::vector<std::size_t> perFolder = std::vector<std::size_t>(std::size(kQueueListFolders));
    std::size_t pairs = 0;
    std::int64_t bytes = 0;
};

Counts Count(const QueueView& view) {
    Counts c;
    for (const QueueViewEntry& e : view.entries) {
        for (std::size_t f = 0; f < c.perFolder.size(); ++f) {
            if (e.pair.folder == kQueueListFolders[f]) ++c.perFolder[f];
        }
        ++c.pairs;
        c.bytes += e.pair.bytes;
    }
    return c;
}

void AppendPairText(const QueueViewEntry& e, bool lastKnown, std::string& out) {
    const QueuedPair& p = e.pair;
    out += p.folder + "/" + Shown(p.name) + "  age " + AgeText(p.ageSeconds) + "  " +
           std::to_string(p.bytes) + " bytes\n";
    const QueueEnvelope& env = e.envelope;
    if (!env.readable) {
        out += "  from: (unreadable: " + Shown(env.problem) + ")\n";
    } else {
        out += "  from: " + (env.sender.empty() ? std::string("<>") : Shown(env.sender)) + "\n";
        const std::size_t shown = std::min(env.recipients.size(), kQueueViewRecipientLines);
        for (std::size_t i = 0; i < shown; ++i) out += "  to:   " + Shown(env.recipients[i]) + "\n";
        if (env.recipients.size() > shown) {
            out += "  to:   ... and " + std::to_string(env.recipients.size() - shown) + " more\n";
        }
        if (!env.problem.empty()) out += "  note: " + Shown(env.problem) + "\n";
    }
    if (lastKnown) {
        out += "  last: " + (e.lastAction ? Shown(*e.lastAction) : "(none in the recent minilog)") +
               "\n";
    }
}

}  // namespace

QueueEnvelope EnvelopeOfBytes(const std::string& data, bool cut) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < data.size();) {
        const std::size_t cr = data.find('\r', i);
        const std::size_t end = cr == std::string::npos ? data.size() : cr;
        lines.push_back(data.substr(i, std::min(end - i, kMaxEnvelopeLine)));
        if (cr == std::string::npos) break;
        i = cr + 1;
        if (i < data.size() && data[i] == '\n') ++i;
    }
    const Envelope env = ReadEnvelope(lines, "");
    QueueEnvelope q;
    q.readable = true;
    q.sender = env.senderAsRead;
    q.recipients = env.recipients;
    switch (env.outcome) {
        case Envelope::Outcome::kLookupFailed:
            q.problem = env.reason;
            break;
        case Envelope::Outcome::kNoRecipients:
            q.problem = "no recipients";
            break;
        case Envelope::Outcome::kUnsafe:
            q.problem = env.reason + env.where;
            break;
        case Envelope::Outcome::kSend:
            break;
    }
    if (cut) {
        q.problem += std::string(q.problem.empty() ? "" : "; ") + "envelope longer than " +
                     std::to_string(kQueueViewEnvelopeBytes) + " bytes, the start shown";
    }
    return q;
}

QueueEnvelope PeekQueueEnvelope(const std::string& path) {
    QueueEnvelope unreadable;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        unreadable.gone = errno == ENOENT;
        unreadable.problem = errno == ELOOP ? "a symbolic link" : std::strerror(errno);
        return unreadable;
    }
    struct stat st {};
    std::string data;
    bool failed = ::fstat(fd, &st) != 0;
    if (failed || !S_ISREG(st.st_mode)) {
        unreadable.problem = failed ? std::strerror(errno) : "not a regular file";
        ::close(fd);
        return unreadable;
    }
    // One byte more than is kept tells whether the file goes on.
    char buf[64 * 1024];
    while (data.size() <= kQueueViewEnvelopeBytes) {
        const std::size_t want = std::min(sizeof buf, kQueueViewEnvelopeBytes + 1 - data.size());
        const ssize_t n = ::read(fd, buf, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) unreadable.problem = std::strerror(errno);
        if (n <= 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!unreadable.problem.empty()) return unreadable;
    const bool cut = data.size() > kQueueViewEnvelopeBytes;
    if (cut) data.resize(kQueueViewEnvelopeBytes);
    return EnvelopeOfBytes(data, cut);
}

std::string SizeText(std::int64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    return std::to_string((bytes + 1023) / 1024) + " KB";
}

std::string AgeText(double seconds) {
    const auto s = static_cast<long long>(std::floor(std::max(0.0, seconds)));
    char buf[48];
    if (s < 60) {
        std::snprintf(buf, sizeof buf, "%llds", s);
    } else if (s < 3600) {
        std::snprintf(buf, sizeof buf, "%lldm%02llds", s / 60, s % 60);
    } else if (s < 86400) {
        std::snprintf(buf, sizeof buf, "%lldh%02lldm", s / 3600, s % 3600 / 60);
    } else {
        std::snprintf(buf, sizeof buf, "%lldd%02lldh", s / 86400, s % 86400 / 3600);
    }
    return buf;
}

std::string FormatQueueText(const QueueView& view) {
    if (view.entries.empty()) return "Queue is empty\n";
    std::string out;
    for (const QueueViewEntry& e : view.entries) {
        AppendPairText(e, view.lastActionsKnown, out);
        out += "\n";
    }
    const Counts c = Count(view);
    out += "-- " + std::to_string(c.pairs) + (c.pairs == 1 ? " pair, " : " pairs, ") +
           SizeText(c.bytes) + ":";
    for (std::size_t f = 0; f < c.perFolder.size(); ++f) {
        out += std::string(f == 0 ? " " : ", ") + std::to_string(c.perFolder[f]) + " in " +
               kQueueListFolders[f];
    }
    return out + "\n";
}

std::string FormatQueueJson(const QueueView& view) {
    std::string out = "{\"pairs\": [";
    for (std::size_t i = 0; i < view.entries.size(); ++i) {
        const QueueViewEntry& e = view.entries[i];
        const QueueEnvelope& env = e.envelope;
        out += i == 0 ? "\n  " : ",\n  ";
        out += "{\"folder\": " + Json(e.pair.folder) + ", \"name\": " + Json(e.pair.name) +
               ", \"age_seconds\": " +
               std::to_string(static_cast<long long>(std::floor(e.pair.ageSeconds))) +
               ", \"bytes\": " + std::to_string(e.pair.bytes) +
               ", \"sender\": " + (env.readable ? Json(env.sender) : "null") +
               ", \"recipients\": [";
        for (std::size_t r = 0; r < env.recipients.size(); ++r) {
            out += (r == 0 ? "" : ", ") + Json(env.recipients[r]);
        }
        out += "], \"envelope_problem\": " +
               (env.problem.empty() ? std::string("null")
                                    : Json((env.readable ? "" : "unreadable: ") + env.problem)) +
               ", \"last_action\": " + JsonOrNull(e.lastAction) + "}";
    }
    const Counts c = Count(view);
    out += view.entries.empty() ? "],\n" : "\n],\n";
    out += " \"summary\": {\"pairs\": " + std::to_string(c.pairs) +
           ", \"bytes\": " + std::to_string(c.bytes) + ", \"folders\": {";
    for (std::size_t f = 0; f < c.perFolder.size(); ++f) {
        out += (f == 0 ? "" : ", ") + Json(kQueueListFolders[f]) + ": " +
               std::to_string(c.perFolder[f]);
    }
    out += "}},\n \"last_actions_known\": ";
    return out + (view.lastActionsKnown ? "true" : "false") + "}\n";
}

}  // namespace bw
