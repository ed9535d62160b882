// Fields of the state folder's line records ("sent-pairs", "back-off"): a
// name of any bytes written as one blank-free field, lower-case hex ("-" for
// an empty name), so that a line always splits at its blanks.
// DIAGNOSTICS: none; a field that is no such hex text is refused (false).
#pragma once

#include <string>

namespace bw {

inline std::string HexField(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : s) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out.empty() ? "-" : out;
}

inline bool FromHexField(const std::string& s, std::string& out) {
    out.clear();
    if (s == "-") return true;
    if (s.size() % 2 != 0) return false;
    auto val = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < s.size(); i += 2) {
        const int hi = val(s[i]);
        const int lo = val(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

}  // namespace bw
