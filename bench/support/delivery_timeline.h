// When each message reached the sink, as a bench sees it: a thread samples
// the sink's count every millisecond and keeps, for the k-th message, the
// wall-clock moment its count was first seen (so times are comparable with
// the database server's clock). From that: messages in a span, the longest
// time without a new one, and the moment of the k-th.
// DIAGNOSTICS: none; a span with no message has a gap of its whole length.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace bw::bench {

using WallTime = std::chrono::system_clock::time_point;

class DeliveryTimeline {
  public:
    explicit DeliveryTimeline(std::function<std::uint64_t()> sinkCount);
    ~DeliveryTimeline() { Stop(); }
    DeliveryTimeline(const DeliveryTimeline&) = delete;
    DeliveryTimeline& operator=(const DeliveryTimeline&) = delete;

    void Stop();
    /// Messages whose arrival lies in [from, to).
    long CountIn(WallTime from, WallTime to) const;
    /// The longest time in [from, to) without a new message, in seconds;
    /// `start` (when given) gets the moment it began.
    double LongestGap(WallTime from, WallTime to, WallTime* start = nullptr) const;
    /// Arrival moments of every message so far, in order.
    std::vector<WallTime> Arrivals() const;

  private:
    void Run();

    std::function<std::uint64_t()> count_;
    std::uint64_t base_ = 0;
    mutable std::mutex m_;
    std::vector<WallTime> at_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double Seconds(WallTime from, WallTime to);

}  // namespace bw::bench
