// The queue view of `bwtarnout --queue`: every pair waiting in Inbox, Outbox
// and their BAD folders with its envelope (sender and recipients, read
// without taking the pair's lock) and the last minilog action naming it,
// shown as a table for a person or as JSON for scripts. The envelope reader
// opens the ".dat" read-only, never through a link, regular files only, and
// reads at most kQueueViewEnvelopeBytes; the formatting is text in, text out.
// Whatever the files hold, the text output carries no control character and
// the JSON is valid UTF-8 (bytes that are no UTF-8 read as Latin-1).
// DIAGNOSTICS: none; an envelope that cannot be read is a marker in the
// view ("(unreadable: why)"), never a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "delivery/queue_listing.h"

namespace bw {

/// The most of a ".dat" the view reads; a longer envelope is shown in part.
constexpr std::size_t kQueueViewEnvelopeBytes = 1024 * 1024;
/// The text view lists this many recipients of a pair, then how many more.
constexpr std::size_t kQueueViewRecipientLines = 10;

/// What the view shows of one envelope.
struct QueueEnvelope {
    bool readable = false;
    bool gone = false;  // filed by the daemon since the folder was listed
    /// Unreadable: why (e.g. "not a regular file"). Readable: what the
    /// delivery would object to ("no recipients", an unsafe line, an envelope
    /// longer than the view reads), or "" when nothing.
    std::string problem;
    std::string sender;  // as the file has it
    std::vector<std::string> recipients;
};

/// The envelope of the ".dat" at `path`, read as the delivery reads it: a
/// line ends with CR LF or a lone CR, each line is kept up to
/// kMaxEnvelopeLine characters. A ".dat" that is no longer there is `gone`.
QueueEnvelope PeekQueueEnvelope(const std::string& path);

/// The envelope of a ".dat" file's bytes (pure; `cut`: the file went on).
QueueEnvelope EnvelopeOfBytes(const std::string& data, bool cut);

struct QueueViewEntry {
    QueuedPair pair;
    QueueEnvelope envelope;
    std::optional<std::string> lastAction;  // none known
};

struct QueueView {
    std::vector<QueueViewEntry> entries;
    /// False when the minilog could not be read: no last action is known.
    bool lastActionsKnown = false;
};

/// The table for a person: one block a pair, then the summary line
/// "-- N pairs, SIZE: a in Inbox, b in Outbox, c in Inbox/BAD, d in Outbox/BAD",
/// or "Queue is empty" when nothing waits.
std::string FormatQueueText(const QueueView& view);

/// One JSON object: {"pairs": [...], "summary": {...}, "last_actions_known": ...}.
std::string FormatQueueJson(const QueueView& view);

/// "37 bytes" below 1 KB, else whole kilobytes rounded up ("12 KB").
std::string SizeText(std::int64_t bytes);
/// "45s", "5m02s", "3h05m", "2d04h".
std::string AgeText(double seconds);

}  // namespace bw
