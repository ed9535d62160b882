#include "delivery/body_wire.h"

namespace bw {

void BodyWire::EndLine(std::string& out) {
    switch (at_) {
        case At::kFirstLine:
            break;
        case At::kDot:
            out.append("..\r\n");  // a "." line that is not the end goes out stuffed
            break;
        default:
            out.append("\r\n");
    }
    at_ = At::kLineStart;
}

void BodyWire::Text(char c, std::string& out) {
    switch (at_) {
        case At::kFirstLine:
            return;
        case At::kLineStart:
            if (c == '.') {
                // Held back: only the next byte tells the end line from a stuffed one.
                at_ = At::kDot;
                return;
            }
            break;
        case At::kDot:
            out.append("..");
            break;
        case At::kInLine:
            break;
    }
    out.push_back(c);
    at_ = At::kInLine;
}

std::size_t BodyWire::Feed(std::string_view bytes, std::string& out) {
    if (ended_) return 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (cr_) {
            cr_ = false;
            if (c == '\n') {
                if (at_ == At::kDot) {
                    out.append(".\r\n");
                    ended_ = true;
                    return i + 1;
                }
                EndLine(out);
                continue;
            }
            if (at_ != At::kFirstLine) ++bareBreaks_;
            EndLine(out);  // a bare CR; `c` begins the next line
        }
        if (c == '\r') {
            cr_ = true;
        } else if (c == '\n') {
            if (at_ != At::kFirstLine) ++bareBreaks_;
            EndLine(out);
        } else {
            Text(c, out);
        }
    }
    return bytes.size();
}

void BodyWire::Finish(std::string& out) {
    if (ended_) return;
    if (at_ == At::kDot) {
        // "." (with at most a CR) is the last thing in the file: its own end.
        out.append(".\r\n");
        ended_ = true;
        return;
    }
    if (cr_) {
        cr_ = false;
        if (at_ != At::kFirstLine) ++bareBreaks_;
        EndLine(out);
    }
    if (at_ == At::kInLine) EndLine(out);
    out.append(".\r\n");
    ended_ = true;
}

std::string BodyWireOf(std::string_view file) {
    BodyWire wire;
    std::string out;
    wire.Feed(file, out);
    wire.Finish(out);
    return out;
}

}  // namespace bw
