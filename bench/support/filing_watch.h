// When the daemon files the messages it delivered out of a queue folder, seen
// from outside: inotify on the folder, on a thread of its own, notes the time
// of each "*.msg" that leaves it (deleted, or moved to Trash). The daemon
// files a pair once the server has answered its end of data with 250, so
// these are the times the server took the messages, on the bench's clock;
// for a server that cannot report its own arrivals (a real Postfix).
// DIAGNOSTICS: when the folder cannot be watched, or the kernel dropped
// events (its queue overflowed), Good() is false and the times are incomplete.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bw::bench {

class FilingWatch {
  public:
    /// Starts watching `folder` (set up before the daemon starts).
    explicit FilingWatch(const std::string& folder);
    ~FilingWatch();
    FilingWatch(const FilingWatch&) = delete;
    FilingWatch& operator=(const FilingWatch&) = delete;

    bool Good() const { return good_.load(); }
    /// Messages filed so far.
    std::uint64_t Count() const;
    /// Waits until `count` messages were filed, `alive` turns false or
    /// `seconds` pass; true when the count was reached.
    bool Wait(std::uint64_t count, double seconds, const std::function<bool()>& alive = {}) const;
    /// Seconds from the first filing to the last.
    double Span() const;

  private:
    void Read();

    int fd_ = -1;
    std::atomic<bool> good_{false};
    std::atomic<bool> stop_{false};
    std::thread reader_;
    mutable std::mutex mu_;
    std::vector<std::chrono::steady_clock::time_point> filed_;
};

}  // namespace bw::bench
