#include "delivery/delivery_windows.h"

#include <new>
#include <utility>

#include "delivery/smtp_client.h"
#include "platform/loop.h"

namespace bw {

DeliveryWindows::DeliveryWindows(DeliveryContext& ctx)
    : ctx_(ctx), self_(std::make_shared<DeliveryWindows*>(this)) {}

DeliveryWindows::~DeliveryWindows() {
    windows_.clear();
}

frmSMTPClient* DeliveryWindows::Create(QueuePair pair) {
    try {
        windows_.push_back(std::make_unique<frmSMTPClient>(ctx_, *this, std::move(pair)));
        return windows_.back().get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void DeliveryWindows::DestroyFinished() {
    for (auto it = windows_.begin(); it != windows_.end();) {
        it = !(*it)->Busy() && (*it)->Unloaded() ? windows_.erase(it) : std::next(it);
    }
}

void DeliveryWindows::DestroyAll() {
    windows_.clear();
}

void DeliveryWindows::ScheduleReap() {
    if (reapPosted_) return;
    reapPosted_ = true;
    std::weak_ptr<DeliveryWindows*> owner = self_;
    ctx_.loop.Post([owner] {
        if (auto alive = owner.lock()) {
            (*alive)->reapPosted_ = false;
            (*alive)->DestroyFinished();
        }
    });
}

void DeliveryWindows::Unloaded(const tMinLog& record, const std::string& name,
                               SessionResult result) {
    if (observer_) observer_(record, name);
    if (onFreed_) onFreed_(result);
}

}  // namespace bw
