// ASCII text as names, keywords and settings are read throughout: letter case
// (only A-Z and a-z change; every other byte, UTF-8 included, stays as it is)
// and whole numbers written in plain digits.
// DIAGNOSTICS: none; pure functions.
#pragma once

#include <cstddef>
#include <string>

namespace bw {

inline std::string LowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

inline std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

/// `text` as a whole number: 1 to `maxDigits` digits and nothing else (no
/// sign, blank or other character); -1 otherwise. `maxDigits` at most 9.
inline long WholeNumber(const std::string& text, std::size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) return -1;
    long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace bw
