#include "bench/support/delivery_timeline.h"

#include <algorithm>

namespace bw::bench {

double Seconds(WallTime from, WallTime to) {
    return std::chrono::duration<double>(to - from).count();
}

DeliveryTimeline::DeliveryTimeline(std::function<std::uint64_t()> sinkCount)
    : count_(std::move(sinkCount)), base_(count_()) {
    thread_ = std::thread([this] { Run(); });
}

void DeliveryTimeline::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void DeliveryTimeline::Run() {
    while (!stop_) {
        const std::uint64_t n = count_() - base_;
        const WallTime now = std::chrono::system_clock::now();
        {
            std::lock_guard lock(m_);
            while (at_.size() < n) at_.push_back(now);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

long DeliveryTimeline::CountIn(WallTime from, WallTime to) const {
    std::lock_guard lock(m_);
    return static_cast<long>(
        std::count_if(at_.begin(), at_.end(), [&](WallTime t) { return t >= from && t < to; }));
}

double DeliveryTimeline::LongestGap(WallTime from, WallTime to, WallTime* start) const {
    std::lock_guard lock(m_);
    WallTime last = from;
    WallTime begun = from;
    double gap = 0;
    for (const WallTime t : at_) {
        if (t < from || t >= to) continue;
        if (Seconds(last, t) > gap) gap = Seconds(last, t), begun = last;
        last = t;
    }
    if (Seconds(last, to) > gap) gap = Seconds(last, to), begun = last;
    if (start != nullptr) *start = begun;
    return gap;
}

std::vector<WallTime> DeliveryTimeline::Arrivals() const {
    std::lock_guard lock(m_);
    return at_;
}

}  // namespace bw::bench
