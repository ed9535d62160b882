#include "delivery/session_pacing.h"

#include "platform/loop.h"

namespace bw {

namespace {

class OnTicks final : public SessionPacing {
  public:
    void Entered(const std::function<void()>&) const override {}
    void ConnectionSettled(const std::function<void()>&) const override {}
    void Finished(Timer& unloadTimer, const std::function<void()>&) const override {
        unloadTimer.SetEnabled(true);
    }
};

class OnEvents final : public SessionPacing {
  public:
    void Entered(const std::function<void()>& stepSoon) const override { stepSoon(); }
    void ConnectionSettled(const std::function<void()>& judgeNow) const override { judgeNow(); }
    void Finished(Timer&, const std::function<void()>& unloadSoon) const override { unloadSoon(); }
};

}  // namespace

const SessionPacing& PacingOnTicks() {
    static const OnTicks pacing;  // holds no state
    return pacing;
}

const SessionPacing& PacingOnEvents() {
    static const OnEvents pacing;
    return pacing;
}

}  // namespace bw
