#include "delivery/queue_view.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "delivery/envelope.h"

namespace bw {

namespace {

// A wall-clock time as local "YYYY-MM-DD HH:MM:SS".
std::string LocalTime(std::int64_t unixSeconds) {
    const auto t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    char buf[64];
    if (localtime_r(&t, &tm) == nullptr || std::strftime(buf, sizeof buf, "%F %T", &tm) == 0) {
        return std::to_string(unixSeconds);
    }
    return buf;
}

// "2026-12-05 12:05:00, in 4m58s (back-off 5 min: the server put it off)",
// or "at the next pass (...)" once its wait has ended or a flush is asked for.
std::string NextText(const QueueNextAttempt& n, const QueueView& view) {
    const double in = static_cast<double>(n.at) - view.nowSeconds;
    const std::string why =
        "back-off " + std::to_string(n.waitMs / 60000) + " min: " + LeftReasonText(n.reason);
    if (view.flushAsked) return "at the next pass (flush asked for; " + why + ")";
    if (in <= 0) return "at the next pass (its wait ended " + LocalTime(n.at) + "; " + why + ")";
    return LocalTime(n.at) + ", in " + AgeText(in) + " (" + why + ")";
}

void AppendPairText(const QueueViewEntry& e, const QueueView& view, std::string& out) {
    const QueuedPair& p = e.pair;
    out += p.folder + "/" + ShownText(p.name) + "  age " + AgeText(p.ageSeconds) + "  " +
           std::to_string(p.bytes) + " bytes" + (e.beingSent ? "  (being sent now)" : "") + "\n";
    const QueueEnvelope& env = e.envelope;
    if (!env.readable) {
        out += "  from: (unreadable: " + ShownText(env.problem) + ")\n";
    } else {
        out += "  from: " + (env.sender.empty() ? std::string("<>") : ShownText(env.sender)) + "\n";
        const std::size_t shown = std::min(env.recipients.size(), kQueueViewRecipientLines);
        for (std::size_t i = 0; i < shown; ++i) {
            out += "  to:   " + ShownText(env.recipients[i]) + "\n";
        }
        if (env.recipients.size() > shown) {
            out += "  to:   ... and " + std::to_string(env.recipients.size() - shown) + " more\n";
        }
        if (!env.problem.empty()) out += "  note: " + ShownText(env.problem) + "\n";
    }
    if (e.next) out += "  next: " + NextText(*e.next, view) + "\n";
    if (view.lastActionsKnown) {
        out += "  last: " +
               (e.lastAction ? ShownText(*e.lastAction) : "(none in the recent minilog)") + "\n";
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

QueueCounts CountQueue(const QueueView& view) {
    QueueCounts c;
    c.perFolder.assign(std::size(kQueueViewFolders), 0);
    for (const QueueViewEntry& e : view.entries) {
        for (std::size_t f = 0; f < c.perFolder.size(); ++f) {
            if (e.pair.folder == kQueueViewFolders[f]) ++c.perFolder[f];
        }
        ++c.pairs;
        c.bytes += e.pair.bytes;
        if (e.beingSent) ++c.beingSent;
        if (!e.envelope.readable) ++c.unreadable;
    }
    return c;
}

std::string FormatQueueText(const QueueView& view) {
    if (view.entries.empty()) return "Queue is empty\n";
    std::string out;
    for (const QueueViewEntry& e : view.entries) {
        AppendPairText(e, view, out);
        out += "\n";
    }
    const QueueCounts c = CountQueue(view);
    out += "-- " + std::to_string(c.pairs) + (c.pairs == 1 ? " pair, " : " pairs, ") +
           SizeText(c.bytes) + ":";
    // The Hold folders only when a pair is held: most queues never have one.
    const bool held = c.perFolder[4] + c.perFolder[5] > 0;
    for (std::size_t f = 0; f < (held ? c.perFolder.size() : 4); ++f) {
        out += std::string(f == 0 ? " " : ", ") + std::to_string(c.perFolder[f]) + " in " +
               kQueueViewFolders[f];
    }
    std::string odd;
    if (c.beingSent > 0) odd += std::to_string(c.beingSent) + " being sent";
    if (c.unreadable > 0) {
        odd += (odd.empty() ? "" : ", ") + std::to_string(c.unreadable) + " unreadable";
    }
    return out + (odd.empty() ? "" : "; " + odd) + "\n";
}

}  // namespace bw
