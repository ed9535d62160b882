// The escapes of the queue view's two outputs: the table never carries a
// control character (a terminal may obey C1 ones too), the JSON is valid UTF-8.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "delivery/queue_view.h"

namespace bw {

namespace {

// Longest text of one field the table shows before "...".
constexpr std::size_t kShownField = 200;

// The code point of the well-formed UTF-8 sequence at `i` and its length, or
// length 0 when the byte there starts none (overlong forms, surrogates and
// values above U+10FFFF are not well formed).
std::size_t Utf8At(const std::string& s, std::size_t i, unsigned& cp) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned c = b(i);
    std::size_t n = 0;
    unsigned least = 0;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool IsControl(unsigned cp) {
    return cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
}

std::string Hex2(unsigned v, const char* prefix) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%02X", prefix, v);
    return buf;
}

}  // namespace

// Escaped as the log text is (platform/log_text.h): every byte of a control
// character or of what is no UTF-8 as "\x" and two hex digits.
std::string ShownText(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        if (out.size() >= kShownField) return out + "...";
        unsigned cp = 0;
        std::size_t n = Utf8At(s, i, cp);
        if (n == 0 || IsControl(cp)) {
            for (const std::size_t end = i + std::max<std::size_t>(n, 1); i < end; ++i) {
                out += Hex2(static_cast<unsigned char>(s[i]), "\\x");
            }
            continue;
        }
        out.append(s, i, n);
        i += n;
    }
    return out;
}

std::string JsonText(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        unsigned cp = 0;
        std::size_t n = Utf8At(s, i, cp);
        const bool latin1 = n == 0;
        if (latin1) cp = static_cast<unsigned char>(s[i]), n = 1;
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == '\n' || cp == '\r' || cp == '\t') {
            out += cp == '\n' ? "\\n" : cp == '\r' ? "\\r" : "\\t";
        } else if (IsControl(cp) || latin1) {
            out += Hex2(cp, "\\u00");
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out + "\"";
}

std::string LeftReasonText(const std::string& reason) {
    static const std::map<std::string, std::string> kWords = {
        {"deferred", "the server put it off"},
        {"unreachable", "no server could be reached"},
        {"broken", "no usable answer, or the line broke"},
        {"envelope", "the .dat could not be read"},
        {"message", "the .msg could not be read"},
        {"files", "its files were gone"}};
    const auto it = kWords.find(reason);
    return it != kWords.end() ? it->second : reason;
}

}  // namespace bw
