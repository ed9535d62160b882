#include "policy/policy_rules.h"

#include <algorithm>
#include <cmath>

#include "host/paths.h"
#include "host/textfile.h"
#include "platform/day_serial.h"

namespace bw {

namespace {

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// An empty list line must match no ordinary address.
const char* const kEmptyLine = "@@@@@@@";

// Tests one list line against the sender, then the return path.
bool TestListLine(const std::string& line, const std::string& from, const std::string& returnPath,
                  std::string& cache) {
    if (WildMatch(from, line) != 0) {
        cache += Upper(from) + "\t";
        return true;
    }
    if (WildMatch(returnPath, line) != 0) {
        cache += Upper(returnPath) + "\t";
        return true;
    }
    return false;
}

}  // namespace

std::int16_t WildMatch(const std::string& address, const std::string& pattern) {
    if (pattern.empty() || address.empty()) return 0;
    const std::string a = Upper(address);
    const std::string p = Upper(pattern);
    if (a == "*" || a == "**") return -1;
    const bool lead = p.front() == '*';
    const bool trail = p.back() == '*';
    if (lead && trail) {
        const std::string inner = p.size() >= 2 ? p.substr(1, p.size() - 2) : "";
        return a.find(inner) != std::string::npos ? -1 : 0;
    }
    if (lead) return EndsWith(a, p.substr(1)) ? -1 : 0;
    if (trail) return StartsWith(a, p.substr(0, p.size() - 1)) ? -1 : 0;
    if (p.find('*') != std::string::npos) {
        // Only the outer pieces count; they may overlap in the address.
        const std::vector<std::string> pieces = SplitText(p, '*');
        return StartsWith(a, pieces.front()) && EndsWith(a, pieces.back()) ? -1 : 0;
    }
    return a == p ? -1 : 0;
}

std::vector<std::string> SplitText(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t pos = s.find(sep, start);
        if (pos == std::string::npos) break;
        parts.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
    parts.push_back(s.substr(start));
    return parts;
}

std::optional<std::string> NetworkPart(const std::string& ip) {
    if (ip.size() < 7) return std::nullopt;
    const std::vector<std::string> parts = SplitText(ip, '.');
    if (parts.size() != 4) return std::nullopt;
    return parts[0] + "." + parts[1] + "." + parts[2] + ".";
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(cur);
            cur.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

std::optional<std::vector<std::string>> ReadListLines(SettingsFiles& files,
                                                      const std::string& path) {
    // The host's reader: a folder or a pipe in place of a list file reads as
    // no file instead of throwing or blocking.
    std::vector<std::string> lines;
    if (!files.ReadLines(path, lines, true)) return std::nullopt;
    return lines;
}

std::int16_t SearchListFile(SettingsFiles& files, const std::string& path, const std::string& from,
                            const std::string& returnPath, std::string& cache) {
    if (PathExists(path) == 0) return 0;
    const auto lines = ReadListLines(files, path);
    if (!lines) return 0;
    const AliasReader readAlias = [&files](const std::string& aliasPath) {
        return PathExists(aliasPath) != 0 ? ReadListLines(files, aliasPath) : std::nullopt;
    };
    return SearchListLines(*lines, from, returnPath, cache, readAlias);
}

std::int16_t SearchListLines(const std::vector<std::string>& lines, const std::string& from,
                             const std::string& returnPath, std::string& cache,
                             const AliasReader& readAlias) {
    bool found = false;
    for (size_t i = 0; i < lines.size() && !found; ++i) {
        std::string line = lines[i];
        if (line.empty()) line = kEmptyLine;
        if (Upper(line.substr(0, 6)) == "ALIAS:") {
            if (const auto alias = readAlias(line.substr(6))) {
                for (size_t j = 0; j < alias->size() && !found; ++j) {
                    line = (*alias)[j];
                    if (line.empty()) line = kEmptyLine;
                    found = TestListLine(line, from, returnPath, cache);
                }
            }
        }
        // After an alias this is the alias file's last line: a match found
        // there is tested, and cached, a second time.
        if (TestListLine(line, from, returnPath, cache)) found = true;
    }
    return found ? -1 : 0;
}

// --- IP lock ---------------------------------------------------------------

namespace {

void Lock(LockIPRecord& r, double now) {
    AddOne(r.locklevel);
    r.numspam = 0;
    r.numgood = 0;
    r.numrejects = 0;
    r.lastlocked = now;
}

// The events: "S" (spam), "SD" (spam, lock at once), "G" (good), "R" (reject).
bool ApplyLockEvent(LockIPRecord& r, const std::string& code, double now, const PolicySettings& s,
                    LockDecision& d) {
    if (code == "S") {
        AddOne(r.numspam);
        r.lastspam = now;
        if (r.numspam >= s.IPLockThreshold && r.numgood == 0) {
            Lock(r, now);
            d.changed = true;
        }
        if (r.numgood > 0 && static_cast<double>(r.numspam) / r.numgood > 10) {
            Lock(r, now);
            d.changed = true;
        }
    } else if (code == "SD") {
        Lock(r, now);
        r.lastreject = now;
        d.changed = true;
    } else if (code == "G") {
        AddOne(r.numgood);
        r.lastgood = now;
        d.changed = true;
    } else if (code == "R") {
        r.numrejects += 1;
        r.lastreject = now;
        d.changed = true;
    } else {
        return false;
    }
    return true;
}

// A locked answer moves lastreject on, at most once a minute.
void ExtendReject(LockIPRecord& r, double now, LockDecision& d) {
    d.result = -1;
    if (now - r.lastreject > kOneMinute) {
        r.lastreject = now;
        d.changed = true;
    } else {
        d.finish = true;
    }
}

// "VS": locked? The lock time doubles with every level and runs from the last reject.
void AskLocked(LockIPRecord& r, double now, const PolicySettings& s, LockDecision& d) {
    if (r.locklevel <= 0) {
        d.finish = true;
        return;
    }
    const double lockDays = std::pow(2.0, r.locklevel - 1) * s.IPLockUnit;
    if (lockDays > now - r.lastreject) {
        ExtendReject(r, now, d);
    } else if (r.numrejects > 0) {
        r.numrejects = 0;
        d.changed = true;
    } else {
        d.finish = true;
    }
}

}  // namespace

LockDecision ApplyLockCode(LockIPRecord& r, const std::string& code, double now,
                           const PolicySettings& s) {
    LockDecision d;
    if (ApplyLockEvent(r, code, now, s, d)) return d;
    if (code == "VS") {
        AskLocked(r, now, s, d);
    } else if (code == "VG") {
        const bool goodOnly = r.numgood > 0 && r.numspam == 0;
        if (goodOnly || (r.numspam > 0 && static_cast<double>(r.numgood) / r.numspam > 100)) {
            d.result = -1;
            d.finish = true;
        }
    } else if (code == "VR" && r.numrejects >= 1000) {
        ExtendReject(r, now, d);
    }
    return d;
}

bool StartLockRow(LockIPRecord& r, const std::string& key, const std::string& code, double now) {
    if (code == "S") {
        r.numspam = 1;
        r.lastspam = now;
    } else if (code == "G") {
        r.numgood = 1;
        r.lastgood = now;
    } else if (code == "SD") {
        r.locklevel = 3;
        r.numspam = 0;
        r.numgood = 0;
        r.numrejects = 0;
        r.lastlocked = now;
        r.lastreject = now;
    } else {
        return false;
    }
    r.netip = key;
    return true;
}

std::string LockLine(const LockIPRecord& r) {
    const std::string fields[] = {r.netip,
                                  std::to_string(r.numspam),
                                  std::to_string(r.numgood),
                                  DaySerialText(r.lastspam),
                                  DaySerialText(r.lastgood),
                                  DaySerialText(r.numrejects),
                                  DaySerialText(r.lastreject),
                                  std::to_string(r.locklevel),
                                  std::to_string(r.lockdays),
                                  DaySerialText(r.lastlocked)};
    std::string line = FixDecimal(fields[0]);
    for (size_t i = 1; i < std::size(fields); ++i) {
        line += '\t';  // appended apart: GCC 12 warns falsely (-Wrestrict) on "\t" + temporary
        line += FixDecimal(fields[i]);
    }
    return line;
}

LockIPRecord ParseLockLine(const std::string& line) {
    std::vector<std::string> p = SplitText(line, '\t');
    p.resize(std::max<size_t>(p.size(), 10));
    LockIPRecord r;
    r.netip = p[0];
    r.numspam = ToInt32(ParseLeadingNumber(p[1]));
    r.numgood = ToInt32(ParseLeadingNumber(p[2]));
    r.lastspam = ParseLeadingNumber(p[3]);
    r.lastgood = ParseLeadingNumber(p[4]);
    r.numrejects = std::round(ParseLeadingNumber(p[5]));
    r.lastreject = ParseLeadingNumber(p[6]);
    r.locklevel = ToInt16(ParseLeadingNumber(p[7]));
    r.lockdays = ToInt16(ParseLeadingNumber(p[8]));
    r.lastlocked = ParseLeadingNumber(p[9]);
    return r;
}

std::vector<LockIPRecord> ParseLockList(const std::string& text) {
    std::vector<LockIPRecord> rows;
    for (const std::string& line : SplitLines(text)) rows.push_back(ParseLockLine(line));
    return rows;
}

// --- greylisting -----------------------------------------------------------

GreyVerdict JudgeGreyEntry(const GreyEntry& e, double now, const PolicySettings& s) {
    if (e.allowed != 0) {
        return now - s.GreyExp < e.lastcontact ? GreyVerdict::Pass : GreyVerdict::Expired;
    }
    if (now - s.GreyDelay / 24.0 / 60.0 < e.rectime) return GreyVerdict::TooEarly;
    if (now - s.GreyFrame / 24.0 / 60.0 > e.rectime) return GreyVerdict::TooLate;
    return GreyVerdict::Promote;
}

std::int16_t GreyResultCode(GreyVerdict v) {
    switch (v) {
        case GreyVerdict::Pass:
        case GreyVerdict::Promote:
            return 3;
        case GreyVerdict::TooEarly:
            return 1;
        case GreyVerdict::TooLate:
            return 2;
        case GreyVerdict::Expired:
            break;
    }
    return 0;
}

bool KeepGreyEntry(const GreyEntry& e, double now, const PolicySettings& s) {
    if (e.allowed != 0) return now - s.GreyExp < e.lastcontact;
    return now - s.GreyFrame / 24.0 / 60.0 < e.rectime;
}

std::string GreyLine(const GreyEntry& e) {
    return e.netip + "\t" + e.mailfrom + "\t" + e.mailto + "\t" + DaySerialText(e.rectime) + "\t" +
           std::to_string(e.allowed) + "\t" + DaySerialText(e.lastcontact);
}

GreyEntry ParseGreyLine(const std::string& line) {
    std::vector<std::string> p = SplitText(line, '\t');
    p.resize(std::max<size_t>(p.size(), 6));
    GreyEntry e;
    e.netip = p[0];
    e.mailfrom = p[1];
    e.mailto = p[2];
    e.rectime = ParseLeadingNumber(p[3]);
    e.allowed = ToInt16(ParseLeadingNumber(p[4]));
    e.lastcontact = ParseLeadingNumber(p[5]);
    return e;
}

std::vector<GreyEntry> ParseGreyList(const std::vector<std::string>& lines) {
    std::vector<GreyEntry> entries;
    for (const std::string& line : lines) entries.push_back(ParseGreyLine(line));
    return entries;
}

std::int16_t ToInt16(double v) {
    if (!std::isfinite(v)) return 0;
    return static_cast<std::int16_t>(std::clamp(std::round(v), -32768.0, 32767.0));
}

std::int32_t ToInt32(double v) {
    if (!std::isfinite(v)) return 0;
    return static_cast<std::int32_t>(std::clamp(std::round(v), -2147483648.0, 2147483647.0));
}

}  // namespace bw
