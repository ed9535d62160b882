// The decisions of the policy store, free of the database: the network part
// of an address, the IP-lock event and question rules, the greylist verdicts
// and what a saved greylist keeps, and the list-file search. The members of
// the policy store read a row, apply one of these and write the row back.
// Nothing here fails: unreadable input gives the documented default.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "policy/policy_settings.h"
#include "policy/policy_state.h"

namespace bw {
class SettingsFiles;
}

namespace bw {

/// -1 when the address matches the pattern ("*" wildcards, case ignored).
std::int16_t WildMatch(const std::string& address, const std::string& pattern);

/// Text split at every separator (an empty text gives one empty part).
std::vector<std::string> SplitText(const std::string& s, char sep);

/// The network key of a dotted quad ("10.1.2.3" -> "10.1.2."): nullopt when
/// the address is shorter than 7 characters or not four dot-separated parts.
/// The parts are not checked to be numbers.
std::optional<std::string> NetworkPart(const std::string& ip);

/// Lines of a text, split at CR LF, CR or LF (a last line without an end counts).
std::vector<std::string> SplitLines(const std::string& text);
/// Lines of a list file read through `files`, split at CR LF, CR or LF;
/// nullopt when it cannot be read.
std::optional<std::vector<std::string>> ReadListLines(SettingsFiles& files,
                                                      const std::string& path);

/// Searches one sender list file (alias lines followed one level deep) for
/// from, then returnPath. Every match appends the address, upper-cased, and a
/// tab to the cache. -1 when found, 0 otherwise (also for a missing file).
std::int16_t SearchListFile(SettingsFiles& files, const std::string& path, const std::string& from,
                            const std::string& returnPath, std::string& cache);
/// SearchListFile on the lines of a list; `readAlias` gives the lines of the
/// file an "ALIAS:" line names (nullopt when it cannot be read).
using AliasReader = std::function<std::optional<std::vector<std::string>>(const std::string&)>;
std::int16_t SearchListLines(const std::vector<std::string>& lines, const std::string& from,
                             const std::string& returnPath, std::string& cache,
                             const AliasReader& readAlias);

// --- IP lock ---------------------------------------------------------------

/// One minute in days: the least time between two extensions of lastreject.
constexpr double kOneMinute = 1.0 / 24.0 / 60.0;

struct LockDecision {
    std::int16_t result = 0;
    bool changed = false;
    /// The operation ends here without writing the row back.
    bool finish = false;
};

/// Applies an event or question code to a network's existing row.
LockDecision ApplyLockCode(LockIPRecord& r, const std::string& code, double now,
                           const PolicySettings& s);
/// Fills a new row for a network without one; false for codes that create none.
bool StartLockRow(LockIPRecord& r, const std::string& key, const std::string& code, double now);

/// One "LockIP.lst" line (without its line end) and back.
std::string LockLine(const LockIPRecord& r);
LockIPRecord ParseLockLine(const std::string& line);
/// Every row of a "LockIP.lst" text, in file order.
std::vector<LockIPRecord> ParseLockList(const std::string& text);

// --- greylisting -----------------------------------------------------------

enum class GreyVerdict {
    Pass,      // allowed and not expired: refresh lastcontact, result 3
    Expired,   // allowed but expired: result 0, row untouched
    TooEarly,  // pending, retry before the delay: result 1
    TooLate,   // pending, retry after the frame: result 2
    Promote,   // pending, retry within delay and frame: becomes allowed, result 3
};

GreyVerdict JudgeGreyEntry(const GreyEntry& e, double now, const PolicySettings& s);
std::int16_t GreyResultCode(GreyVerdict v);
/// Whether SaveGreyIP keeps an entry (allowed and not expired, or pending
/// within its frame).
bool KeepGreyEntry(const GreyEntry& e, double now, const PolicySettings& s);

/// One "GreyIP.lst" line (without its line end) and back.
std::string GreyLine(const GreyEntry& e);
GreyEntry ParseGreyLine(const std::string& line);
/// Every entry of the lines of a "GreyIP.lst", in file order.
std::vector<GreyEntry> ParseGreyList(const std::vector<std::string>& lines);

/// Nearest integer of a parsed number, kept inside the type's range.
std::int16_t ToInt16(double v);
std::int32_t ToInt32(double v);

/// Adds 1 to a counter or level; one already at its type's largest value
/// stays there (a row read with the column's largest value must not wrap to
/// a negative count or an unlocked level).
template <typename T>
void AddOne(T& v) {
    if (v < std::numeric_limits<T>::max()) v = static_cast<T>(v + 1);
}

}  // namespace bw
