#include "delivery/delivery_sessions.h"

#include <new>
#include <utility>

#include "delivery/delivery_session.h"
#include "platform/loop.h"

namespace bw {

DeliverySessions::DeliverySessions(DeliveryContext& ctx)
    : ctx_(ctx), self_(std::make_shared<DeliverySessions*>(this)) {}

DeliverySessions::~DeliverySessions() {
    sessions_.clear();
}

DeliverySession* DeliverySessions::Create(QueuePair& pair) {
    try {
        sessions_.push_back(std::make_unique<DeliverySession>(ctx_, *this, std::move(pair)));
        return sessions_.back().get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int DeliverySessions::Running() const {
    int n = 0;
    for (const auto& s : sessions_) n += s->Delivering() ? 1 : 0;
    return n;
}

DeliverySession* DeliverySessions::TakeIdle() {
    for (const auto& s : sessions_) {
        if (s->Idle() && !s->Busy()) return s.get();
    }
    return nullptr;
}

void DeliverySessions::DestroyFinished() {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        it = !(*it)->Busy() && (*it)->Unloaded() ? sessions_.erase(it) : std::next(it);
    }
}

void DeliverySessions::DestroyAll() {
    sessions_.clear();
}

void DeliverySessions::ScheduleReap() {
    if (reapPosted_) return;
    reapPosted_ = true;
    std::weak_ptr<DeliverySessions*> owner = self_;
    ctx_.loop.Post([owner] {
        if (auto alive = owner.lock()) {
            (*alive)->reapPosted_ = false;
            (*alive)->DestroyFinished();
        }
    });
}

void DeliverySessions::Unloaded(const MinilogRow& record, const std::string& name,
                                SessionResult result) {
    if (observer_) observer_(record, name);
    if (onFreed_) onFreed_(result);
}

}  // namespace bw
