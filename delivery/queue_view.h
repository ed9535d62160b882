// The queue view of `bwtarnout --queue`: every pair waiting in Inbox, Outbox,
// their BAD folders and their Hold folders with its envelope (sender and
// recipients, read without taking the pair's lock), whether it is being sent
// now, when the daemon tries it next and why it waits (its back-off), and the
// last minilog action naming it; shown as a table for a person or as JSON
// lines for scripts. The envelope reader opens the ".dat" read-only, never
// through a link, regular files only, and reads at most
// kQueueViewEnvelopeBytes; the formatting is text in, text out. Whatever the
// files hold, the text output carries no control character and the JSON is
// valid UTF-8 (bytes that are no UTF-8 read as Latin-1).
// DIAGNOSTICS: none; an envelope that cannot be read, a lone ".dat" and a
// pair whose files are links or no regular files are a marker in the view
// ("(unreadable: why)"), never a failure.
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

/// When the daemon tries a pair next: the end of its back-off.
struct QueueNextAttempt {
    std::int64_t at = 0;      // seconds since 1970
    std::int64_t waitMs = 0;  // the step of the back-off it waits
    std::string reason;       // why it was left: "deferred", "unreachable", "broken", ...
};

struct QueueViewEntry {
    QueuedPair pair;
    QueueEnvelope envelope;
    bool beingSent = false;                 // a file of the pair is locked by another process
    std::optional<QueueNextAttempt> next;   // none: no back-off, tried at the next pass
    std::optional<std::string> lastAction;  // none known
};

struct QueueView {
    std::vector<QueueViewEntry> entries;
    /// False when the minilog could not be read: no last action is known.
    bool lastActionsKnown = false;
    /// `bwtarnout --flush` was asked for and the daemon has not yet done it.
    bool flushAsked = false;
    double nowSeconds = 0;  // the wall clock the view was made at (seconds since 1970)
};

/// What the summary counts.
struct QueueCounts {
    std::vector<std::size_t> perFolder;  // in the order of kQueueViewFolders
    std::size_t pairs = 0;
    std::int64_t bytes = 0;
    std::size_t beingSent = 0;
    std::size_t unreadable = 0;  // envelopes that cannot be read, lone ".dat", unusable files
};
QueueCounts CountQueue(const QueueView& view);

/// The table for a person: one block a pair, then the summary line
/// "-- N pairs, SIZE: a in Inbox, b in Outbox, c in Inbox/BAD, d in Outbox/BAD"
/// (", e in Inbox/Hold, f in Outbox/Hold" when a pair is held; "; N being
/// sent, N unreadable" when there are such), or "Queue is empty" when
/// nothing waits.
std::string FormatQueueText(const QueueView& view);

/// JSON lines: one object a pair, then one with the summary
/// ({"summary": {...}, "last_actions_known": ..., "flush_asked": ...}).
std::string FormatQueueJson(const QueueView& view);

/// A text for the table: control characters and bytes that are no UTF-8 as
/// "\xNN", cut after 200 characters.
std::string ShownText(const std::string& s);
/// A JSON string: control characters escaped, a byte that is no UTF-8 read
/// as the Latin-1 character of its value.
std::string JsonText(const std::string& s);
/// The words for why a pair waits (DeliveryOutcome::left).
std::string LeftReasonText(const std::string& reason);

/// "37 bytes" below 1 KB, else whole kilobytes rounded up ("12 KB").
std::string SizeText(std::int64_t bytes);
/// "45s", "5m02s", "3h05m", "2d04h".
std::string AgeText(double seconds);

}  // namespace bw
