#include "delivery/queue_watch.h"

#include <utility>
#include <vector>

#include "delivery/delivery_meter.h"
#include "delivery/dispatcher.h"
#include "platform/ascii_text.h"
#include "platform/clock.h"
#include "platform/log_text.h"
#include "platform/loop.h"
#include "platform/service.h"

namespace bw {

namespace {

// ".dat" or ".msg" in any letter case (the lower-case extension), else "".
std::string QueueExtension(const std::string& lowerName) {
    if (lowerName.size() < 5) return "";
    const std::string ext = lowerName.substr(lowerName.size() - 4);
    return ext == ".dat" || ext == ".msg" ? ext : "";
}

}  // namespace

QueueWatch::QueueWatch(DeliveryContext& ctx, Dispatcher& dispatcher)
    : ctx_(ctx), dispatcher_(dispatcher), self_(std::make_shared<QueueWatch*>(this)) {
    folders_[0].sub = "Inbox/";
    folders_[1].sub = "Outbox/";
}

QueueWatch::~QueueWatch() = default;

ErrorState QueueWatch::Start() {
    ErrorState err = Watch();
    if (err.Failed()) return err;
    if (Timer* timer = dispatcher_.QueueTimer()) timer->SetInterval(kRescanIntervalMs);
    Rescan();
    return err;
}

// A new inotify watch on the queue folders (a folder replaced by a new one is
// watched again, under its new identity). Failed when a folder cannot be
// watched; the others are watched all the same.
ErrorState QueueWatch::Watch() {
    watch_.reset();
    watchedFolder_.clear();
    for (Folder& f : folders_) f.watched = false;
    watch_ = std::make_unique<DirWatch>(
        ctx_.loop,
        [this](int index, const std::string& name, FileChange change) {
            OnChange(folders_[watchedFolder_[static_cast<std::size_t>(index)]], name, change);
        },
        [this] {
            std::weak_ptr<QueueWatch*> owner = self_;
            ctx_.loop.Post([owner] {
                if (auto alive = owner.lock()) (*alive)->Lost();
            });
        });
    return WatchMissing();
}

// Adds the folders that are not watched yet (missing when last tried).
ErrorState QueueWatch::WatchMissing() {
    ErrorState first;
    for (std::size_t i = 0; i < folders_.size(); ++i) {
        if (folders_[i].watched) continue;
        ErrorState err;
        const int index = watch_->Add(ctx_.settings.AccPath() + folders_[i].sub, err);
        if (index < 0) {
            first.Raise(err.number, err.description);
            continue;
        }
        folders_[i].watched = true;
        watchedFolder_.resize(static_cast<std::size_t>(index) + 1);
        watchedFolder_[static_cast<std::size_t>(index)] = i;
    }
    return first;
}

// Events were dropped or a folder went: watch afresh and list both folders.
// A folder that is missing now is looked for again at each rescan.
void QueueWatch::Lost() {
    Watch();
    Rescan();
}

void QueueWatch::OnChange(Folder& f, const std::string& name, FileChange change) {
    const std::string lower = LowerAscii(name);
    const std::string ext = QueueExtension(lower);
    if (ext.empty()) return;
    const std::string key = lower.substr(0, lower.size() - 4);
    if (change == FileChange::kWriting) {
        f.writing[lower] = ctx_.clock.MonotonicMs();
        return;
    }
    f.writing.erase(lower);
    Names& n = f.known[key];
    std::string& slot = ext == ".dat" ? n.dat : n.msg;
    if (change == FileChange::kGone) {
        if (slot == name) slot.clear();
        if (n.dat.empty() && n.msg.empty()) f.known.erase(key);
        return;
    }
    slot = name;
    if (!n.dat.empty() && !n.msg.empty()) {
        Offer(f, key);
        SchedulePass();
    }
}

void QueueWatch::Offer(Folder& f, const std::string& key) {
    if (f.queued.insert(key).second) f.order.push_back(key);
}

void QueueWatch::Rescan() {
    if (watch_) WatchMissing();  // before the listing, so no event of a folder back is missed
    for (Folder& f : folders_) List(f);
    Pass();
}

// Lists `f` and takes every pair found as a candidate. A folder that cannot be
// listed holds no candidates; the journal hears of it once until it is back.
void QueueWatch::List(Folder& f) {
    const std::string folder = ctx_.settings.AccPath() + f.sub;
    ErrorState err;
    const auto pairs = dispatcher_.ListPairs(f.sub, err);
    if (err.Failed()) {
        f.known.clear();
        f.writing.clear();
        f.order.clear();
        f.queued.clear();
        if (!f.missing && ctx_.journal != nullptr) {
            ctx_.journal->LogEvent(
                2, 110,
                EscapeControls("Queue folder " + folder + " missing or unreadable (" +
                               err.description + "); its mail waits until it is back"));
        }
        f.missing = true;
        return;
    }
    if (f.missing && ctx_.journal != nullptr) {
        ctx_.journal->LogEvent(4, 110, EscapeControls("Queue folder " + folder + " is back"));
    }
    f.missing = false;
    for (const auto& [dat, msg] : pairs) {
        const std::string lower = LowerAscii(dat);
        const std::string key = lower.substr(0, lower.size() - 4);
        f.known[key] = Names{dat, msg};
        Offer(f, key);
    }
}

void QueueWatch::SessionEnded(SessionResult result) {
    leftInARow_ = result == SessionResult::kLeft ? leftInARow_ + 1 : 0;
    SchedulePass();
}

// Passes asked for by events; the rescan runs its own.
void QueueWatch::SchedulePass() {
    if (passPosted_ || leftInARow_ >= ctx_.settings.maxSessions) return;
    passPosted_ = true;
    std::weak_ptr<QueueWatch*> owner = self_;
    ctx_.loop.Post([owner] {
        if (auto alive = owner.lock()) {
            (*alive)->passPosted_ = false;
            (*alive)->Pass();
        }
    });
}

bool QueueWatch::BeingWritten(Folder& f, const std::string& name, std::int64_t now) {
    const auto it = f.writing.find(LowerAscii(name));
    if (it == f.writing.end()) return false;
    if (now - it->second < kStaleWritingMs) return true;
    f.writing.erase(it);
    return false;
}

// Takes the oldest candidate of `f` and claims it when it is whole. False when
// `f` has no candidate left.
bool QueueWatch::TryNext(Folder& f, bool& claimed) {
    claimed = false;
    if (f.order.empty()) return false;
    const std::string key = f.order.front();
    f.order.pop_front();
    f.queued.erase(key);
    const auto it = f.known.find(key);
    if (it == f.known.end() || it->second.dat.empty() || it->second.msg.empty()) return true;
    const Names names = it->second;
    const std::int64_t now = ctx_.clock.MonotonicMs();
    if (BeingWritten(f, names.dat, now) || BeingWritten(f, names.msg, now)) return true;
    claimed = dispatcher_.Claim(f.sub, names.dat, names.msg);
    return true;
}

void QueueWatch::Pass() {
    int claimed = 0;
    bool tried = false;
    while (dispatcher_.HasRoom()) {
        bool any = false;
        for (std::size_t i = 0; i < folders_.size() && dispatcher_.HasRoom(); ++i) {
            Folder& f = folders_[(turn_ + i) % folders_.size()];
            bool one = false;
            if (TryNext(f, one)) any = tried = true;
            if (one) ++claimed;
        }
        turn_ = (turn_ + 1) % folders_.size();
        if (!any) break;
    }
    if (tried && ctx_.meter != nullptr) ctx_.meter->Claimed(claimed);
}

}  // namespace bw
