// The envelope of a queue pair: the lines of its ".dat" file (a header line,
// the greeting command, the sender - written twice when it equals the
// greeting command - and one recipient per line) and what a session makes of
// them: the command and addresses it sends, or why the pair is not sent.
// Reading the file is the session's part; this is text in, decision out.
// DIAGNOSTICS: none here; the session logs the outcome and files the pair.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/error_state.h"

namespace bw {

/// Domain of an address: the text between the first "@" and the next "@" (or
/// the end); "" for an empty address. An address without "@" raises `err`.
std::string GetDomain(const std::string& address, ErrorState& err);

/// The reader keeps at most this many characters of an envelope line; a line
/// that long is never sent.
constexpr std::size_t kMaxEnvelopeLine = 64 * 1024;

struct Envelope {
    enum class Outcome {
        kSend,
        kLookupFailed,  // a recipient without "@": the pair stays in the queue
        kNoRecipients,  // nobody to send to: filed as refused
        kUnsafe,        // a line too long or with a control character: filed as bad
    };
    Outcome outcome = Outcome::kSend;
    std::string helo;          // the greeting command to send
    std::string senderAsRead;  // the sender line as the file has it
    std::string sender;        // as sent: empty when a domain involved is forwarded
    std::vector<std::string> recipients;
    /// kLookupFailed: the lookup's error text. kUnsafe: what is wrong, e.g.
    /// "envelope sender holds control character 0x0A".
    std::string reason;
    /// kUnsafe: where, e.g. " at position 3" (empty for a line too long).
    std::string where;
};

/// The envelope of a ".dat" file's lines (each cut to kMaxEnvelopeLine);
/// `forwardedList` as ForwardedListFromLines builds it.
Envelope ReadEnvelope(const std::vector<std::string>& lines, const std::string& forwardedList);

}  // namespace bw
