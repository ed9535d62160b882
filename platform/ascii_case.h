// Letter case of ASCII text, as names and keywords are compared throughout:
// only A-Z and a-z change; every other byte (UTF-8 included) stays as it is.
// DIAGNOSTICS: none; pure functions.
#pragma once

#include <string>

namespace bw {

inline std::string LowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

}  // namespace bw
