#include "bench/support/filing_watch.h"

#include <poll.h>
#include <strings.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

namespace bw::bench {

FilingWatch::FilingWatch(const std::string& folder) {
    fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ < 0 || ::inotify_add_watch(fd_, folder.c_str(), IN_DELETE | IN_MOVED_FROM) < 0) return;
    good_ = true;
    reader_ = std::thread([this] { Read(); });
}

FilingWatch::~FilingWatch() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) ::close(fd_);
}

void FilingWatch::Read() {
    alignas(inotify_event) char buf[65536];
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) continue;
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(mu_);
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if ((e->mask & IN_Q_OVERFLOW) != 0) good_ = false;
            const std::size_t len = e->len > 0 ? std::strlen(e->name) : 0;
            if (len > 4 && ::strcasecmp(e->name + len - 4, ".msg") == 0) filed_.push_back(now);
        }
    }
}

std::uint64_t FilingWatch::Count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return filed_.size();
}

bool FilingWatch::Wait(std::uint64_t count, double seconds,
                       const std::function<bool()>& alive) const {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::microseconds(static_cast<long>(seconds * 1e6));
    while (Count() < count) {
        if (std::chrono::steady_clock::now() > end || (alive && !alive())) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

double FilingWatch::Span() const {
    std::lock_guard<std::mutex> lock(mu_);
    if (filed_.empty()) return 0;
    return std::chrono::duration<double>(filed_.back() - filed_.front()).count();
}

}  // namespace bw::bench
