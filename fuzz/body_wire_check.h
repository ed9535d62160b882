// The property of a message's wire form, shared by the fuzz target and the
// unit test: whatever the ".msg" file holds, a lenient server (lines end at
// CR LF, at a bare LF or at a bare CR; one leading "." removed; a line of "."
// alone is the end of data) reads exactly the stored lines after the first,
// up to the message's own end line, and finds the end of data only at the
// very end. The stored lines are split here independently of body_wire.cpp.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "delivery/body_wire.h"

namespace bw::fuzz {

struct StoredLine {
    std::string text;
    enum class End { kCrLf, kLf, kCr, kNone } end = End::kNone;
};

inline std::vector<StoredLine> SplitStored(std::string_view file) {
    std::vector<StoredLine> lines;
    StoredLine line;
    for (std::size_t i = 0; i < file.size(); ++i) {
        const char c = file[i];
        if (c != '\r' && c != '\n') {
            line.text.push_back(c);
            continue;
        }
        if (c == '\r' && i + 1 < file.size() && file[i + 1] == '\n') {
            line.end = StoredLine::End::kCrLf;
            ++i;
        } else {
            line.end = c == '\r' ? StoredLine::End::kCr : StoredLine::End::kLf;
        }
        lines.push_back(std::move(line));
        line = StoredLine{};
    }
    if (!line.text.empty()) lines.push_back(std::move(line));
    return lines;
}

/// The stored lines that must reach the server: all after the first, up to
/// the message's own end ("." ended by CR LF, or "." that ends the file).
inline std::vector<std::string> LinesToSend(std::string_view file) {
    const std::vector<StoredLine> stored = SplitStored(file);
    std::vector<std::string> lines;
    for (std::size_t i = 1; i < stored.size(); ++i) {
        const StoredLine& l = stored[i];
        const bool last = i + 1 == stored.size();
        if (l.text == "." &&
            (l.end == StoredLine::End::kCrLf || (last && l.end != StoredLine::End::kLf))) {
            break;
        }
        lines.push_back(l.text);
    }
    return lines;
}

/// "" when `wire` is right for `file`, else what is wrong.
inline std::string WireProblem(std::string_view file, const std::string& wire) {
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] == '\r' && (i + 1 >= wire.size() || wire[i + 1] != '\n')) {
            return "bare CR on the wire at " + std::to_string(i);
        }
        if (wire[i] == '\n' && (i == 0 || wire[i - 1] != '\r')) {
            return "bare LF on the wire at " + std::to_string(i);
        }
    }
    std::vector<std::string> read;
    bool ended = false;
    for (const StoredLine& l : SplitStored(wire)) {
        if (ended) return "the server reads on after the end of data";
        if (l.text == ".") {
            ended = true;
            continue;
        }
        read.push_back(l.text.starts_with(".") ? l.text.substr(1) : l.text);
    }
    if (!ended) return "no end of data";
    if (read != LinesToSend(file)) return "the server reads other lines than the file holds";
    return "";
}

/// The wire form of `file` fed in pieces of `piece` bytes, as the session
/// reads it; the same bytes as whole.
inline std::string WireInPieces(std::string_view file, std::size_t piece) {
    BodyWire wire;
    std::string out;
    for (std::size_t at = 0; at < file.size() && !wire.Ended(); at += piece) {
        wire.Feed(file.substr(at, piece), out);
    }
    wire.Finish(out);
    return out;
}

}  // namespace bw::fuzz
