#include "platform/reg_encoding.h"

#include <cstdio>
#include <cstdlib>

namespace bw::reg {

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && Upper(a) == Upper(b);
}

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

namespace {

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::string Utf16ToUtf8(const std::uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        std::uint32_t u = p[i] | (p[i + 1] << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < n) {
            const std::uint32_t lo = p[i + 2] | (p[i + 3] << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, u);
    }
    return out;
}

std::vector<std::uint8_t> Utf8ToUtf16(const std::vector<std::uint8_t>& s) {
    std::vector<std::uint8_t> out;
    auto put = [&out](std::uint32_t u) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    for (std::size_t i = 0; i < s.size();) {
        const std::uint8_t c = s[i];
        std::uint32_t cp = c;
        std::size_t len = 1;
        if (c >= 0xC0 && c < 0xE0 && i + 1 < s.size() && (s[i + 1] & 0xC0) == 0x80) {
            cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            len = 2;
        } else if (c >= 0xE0 && c < 0xF0 && i + 2 < s.size() && (s[i + 1] & 0xC0) == 0x80 &&
                   (s[i + 2] & 0xC0) == 0x80) {
            cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            len = 3;
        } else if (c >= 0xF0 && c < 0xF8 && i + 3 < s.size() && (s[i + 1] & 0xC0) == 0x80 &&
                   (s[i + 2] & 0xC0) == 0x80 && (s[i + 3] & 0xC0) == 0x80) {
            cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
                 (s[i + 3] & 0x3F);
            len = 4;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
        i += len;
    }
    return out;
}

std::string QuoteText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

bool UnquoteText(const std::string& s, std::size_t& pos, std::string& out) {
    out.clear();
    ++pos;
    while (pos < s.size()) {
        const char c = s[pos++];
        if (c == '"') return true;
        if (c == '\\' && pos < s.size()) {
            out += s[pos++];
        } else {
            out += c;
        }
    }
    return false;
}

bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>& out) {
    out.clear();
    std::string t;
    for (char c : text) {
        if (c != ' ' && c != '\t') t += c;
    }
    if (t.empty()) return true;
    std::size_t pos = 0;
    while (pos <= t.size()) {
        const std::size_t comma = t.find(',', pos);
        const std::string piece =
            t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (piece.empty() || piece.size() > 2) return false;
        char* end = nullptr;
        const long v = std::strtol(piece.c_str(), &end, 16);
        if (*end != '\0') return false;
        out.push_back(static_cast<std::uint8_t>(v));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return true;
}

std::string HexBytes(const std::vector<std::uint8_t>& data) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        if (i > 0) out += ',';
        out += buf;
    }
    return out;
}

bool IsTextType(std::uint32_t type) {
    return type == 1 || type == 2 || type == 7;
}

}  // namespace bw::reg
