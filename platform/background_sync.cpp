#include "platform/background_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace bw {

BackgroundSync::~BackgroundSync() {
    Flush();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable()) worker_.join();
}

void BackgroundSync::Add(const std::string& path) {
    gathered_.insert(path);
}

void BackgroundSync::Flush() {
    if (gathered_.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handed_.merge(gathered_);
    }
    gathered_.clear();
    if (!worker_.joinable()) worker_ = std::thread([this] { Work(); });
    wake_.notify_one();
}

void BackgroundSync::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stop_ || !handed_.empty(); });
        if (handed_.empty()) return;  // stopping with nothing left
        std::set<std::string> group;
        group.swap(handed_);
        lock.unlock();
        for (const std::string& path : group) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) continue;
            ::fsync(fd);
            ::close(fd);
        }
        lock.lock();
    }
}

}  // namespace bw
