#include "delivery/smtp_reply.h"

#include <algorithm>

namespace bw {

namespace {

// Where the first whole reply of `text` ends (after the CR LF of its first line
// that is no continuation line), or npos.
std::size_t EndOfFirstReply(const std::string& text) {
    for (std::size_t pos = 0;;) {
        const std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) return end;
        if (end - pos < 4 || text[pos + 3] != '-') return end + 2;
        pos = end + 2;
    }
}

}  // namespace

void ReplyBuffer::Append(std::string_view data) {
    if (skipping_) data.remove_prefix(Skip(data));
    if (data.empty()) return;
    // A cut reply not yet cleared is judged as it stands, as is a whole reply
    // kept one at a time; what came after its end waits for the Clear() (up to
    // the cap; beyond it would be cut anyway).
    if (cut_ || (oneReply_ && EndOfFirstReply(text_) == text_.size() && !text_.empty())) {
        next_.append(data.substr(0, kCap + 1 - std::min(kCap + 1, next_.size())));
        return;
    }
    const std::size_t room = kCap - std::min(kCap, text_.size());
    text_.append(data.substr(0, room));
    data.remove_prefix(std::min(room, data.size()));
    if (oneReply_ && SplitAfterFirstReply(data)) return;
    if (data.empty()) return;
    cut_ = true;
    skipping_ = true;
    // The line the cut falls in: how much of it is there, and is it a continuation?
    const std::size_t end = text_.rfind("\r\n");
    const std::size_t lineStart = end == std::string::npos ? 0 : end + 2;
    skipLineLen_ = text_.size() - lineStart;
    skipContinues_ = skipLineLen_ >= 4 && text_[lineStart + 3] == '-';
    skipCr_ = !text_.empty() && text_.back() == '\r';
    data.remove_prefix(Skip(data));
    next_.assign(data.substr(0, kCap + 1));
}

// Holding one reply at a time: once the text holds a whole reply, what
// follows it there and `rest` wait in next_. False while no reply is whole.
bool ReplyBuffer::SplitAfterFirstReply(std::string_view rest) {
    const std::size_t end = EndOfFirstReply(text_);
    if (end == std::string::npos) return false;
    next_.append(text_, end);
    next_.append(rest);
    if (next_.size() > kCap + 1) next_.resize(kCap + 1);
    text_.resize(end);
    return true;
}

std::size_t ReplyBuffer::Skip(std::string_view data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '\n' && skipCr_) {
            if (!skipContinues_) {
                skipping_ = false;
                skipCr_ = false;
                return i + 1;
            }
            skipLineLen_ = 0;
            skipContinues_ = false;
            skipCr_ = false;
            continue;
        }
        skipCr_ = c == '\r';
        if (skipCr_) continue;
        if (skipLineLen_ == 3) skipContinues_ = c == '-';
        ++skipLineLen_;
    }
    return data.size();
}

void ReplyBuffer::Clear() {
    text_.clear();
    cut_ = false;
    std::string next;
    next.swap(next_);
    Append(next);
}

void ReplyBuffer::DropAll() {
    const bool oneReply = oneReply_;
    *this = ReplyBuffer{};
    oneReply_ = oneReply;
}

bool ReplyBuffer::Complete() const {
    if (cut_) return true;
    if (oneReply_) return !text_.empty() && EndOfFirstReply(text_) == text_.size();
    const std::size_t n = text_.size();
    return n >= 2 && text_[n - 2] == '\r' && text_[n - 1] == '\n';
}

std::string ReplyBuffer::FirstLine() const {
    return text_.substr(0, text_.find("\r\n"));
}

bool ReplyBuffer::LastLineContinues() const {
    if (cut_) return false;
    const std::size_t end = text_.rfind("\r\n");
    if (end == std::string::npos) return false;
    const std::size_t prev = end == 0 ? std::string::npos : text_.rfind("\r\n", end - 1);
    const std::size_t begin = prev == std::string::npos ? 0 : prev + 2;
    return end - begin < 4 || text_[begin + 3] != ' ';
}

std::string ReplyBuffer::Summary() const {
    if (cut_) return FirstLine();
    return text_.size() >= 2 ? text_.substr(0, text_.size() - 2) : std::string();
}

std::string ReplyBuffer::OneLine() const {
    std::string line = Summary();
    for (std::size_t at = line.find("\r\n"); at != std::string::npos; at = line.find("\r\n", at)) {
        line.replace(at, 2, " ");
    }
    return line;
}

}  // namespace bw
