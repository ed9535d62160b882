#include "delivery/profile_parts.h"

#include "delivery/delivery.h"
#include "delivery/profile.h"
#include "delivery/queue_watch.h"
#include "delivery/session_pacing.h"
#include "platform/loop.h"

namespace bw {

namespace {

class Classic final : public ProfileParts {
  public:
    explicit Classic(Delivery& d) : d_(d) {}
    ErrorState Start() override { return d_.dispatcher.StartWork(); }
    void EndGroup() override {}

  private:
    Delivery& d_;
};

class Fast final : public ProfileParts {
  public:
    explicit Fast(Delivery& d) : d_(d) {
        d.ctx.pacing = &PacingOnEvents();
        d.ctx.folderSync = &d.syncs;
        d.ctx.changedFlag = &d.changed;
        d.ctx.style = ConversationStyle{true, d.settings.messagesPerConnection};
        d.concurrency.Adapt(true);
        d.ctx.audit.SetGrouped(true);
        d.sent.SetGroupedSync(true);
        d.dispatcher.UseWorkSource(std::make_unique<QueueWatch>(d.ctx, d.dispatcher));
        groupTimer_ =
            std::make_unique<Timer>(d.ctx.loop, kGroupIntervalMs, true, [this] { EndGroup(); });
    }
    ErrorState Start() override { return d_.dispatcher.StartWork(); }
    // The changed flag is rewritten, the folder syncs go to the worker, the
    // audit to the disk and the database, the sent record to the disk.
    void EndGroup() override {
        d_.changed.Touch(d_.ctx.clock.Now());
        d_.syncs.Flush();
        d_.ctx.audit.FlushGroup();
        d_.sent.SyncGroup();
    }

  private:
    Delivery& d_;
    std::unique_ptr<Timer> groupTimer_;
};

}  // namespace

std::unique_ptr<ProfileParts> MakeProfileParts(Delivery& delivery) {
    if (delivery.settings.profile == Profile::kFast) return std::make_unique<Fast>(delivery);
    return std::make_unique<Classic>(delivery);
}

}  // namespace bw
