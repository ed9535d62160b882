#include "delivery/server_concurrency.h"

#include <algorithm>

#include "platform/log_text.h"
#include "platform/service.h"

namespace bw {

int ServerConcurrency::Limit(int maxSessions) const {
    if (limit_ <= 0) return maxSessions;
    return std::min(maxSessions, std::max(1, static_cast<int>(limit_)));
}

void ServerConcurrency::Busy(const std::string& server, const char* why, int running,
                             int maxSessions) {
    if (!adapt_) return;
    const int before = Limit(maxSessions);
    const int lowered = std::max(1, std::min(before, running) - 1);
    limit_ = lowered;
    server_ = server;
    if (journal_ != nullptr && lowered < before) {
        journal_->LogEvent(
            2, 110,
            EscapeControls("Mail server " + server + " " + why + ": sessions to it lowered to " +
                           std::to_string(lowered)));
    }
}

void ServerConcurrency::Delivered(int maxSessions) {
    if (limit_ <= 0) return;
    limit_ += 1.0 / std::max(1.0, limit_);
    if (limit_ < maxSessions) return;
    limit_ = 0;
    if (journal_ != nullptr) {
        journal_->LogEvent(4, 110,
                           EscapeControls("Mail server " + server_ + " takes " +
                                          std::to_string(maxSessions) + " sessions again"));
    }
}

}  // namespace bw
