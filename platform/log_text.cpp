#include "platform/log_text.h"

namespace bw {

std::string EscapeControls(const std::string& text, bool keepCrLf) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7f) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        if (keepCrLf && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out.append("\r\n");
            ++i;
            continue;
        }
        out.append("\\x");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0x0f]);
    }
    return out;
}

}  // namespace bw
