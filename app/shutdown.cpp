#include "app/shutdown.h"

#include <utility>

#include "host/host_platform.h"
#include "host/installation.h"
#include "host/lang.h"
#include "platform/desktop.h"
#include "platform/loop.h"
#include "platform/process.h"

namespace bw {

Shutdown::Shutdown(const HostPlatform& platform, const Installation& installation,
                   SettingsFiles& files)
    : platform_(platform), installation_(installation), files_(files) {}

Shutdown::~Shutdown() = default;

void Shutdown::Load() {
    if (Loaded()) return;
    timer_ = std::make_unique<Timer>(*platform_.loop, 1000, true, [this] { OnTick(); });
}

void Shutdown::Unload() {
    // Safe inside the timer's own tick: the loop looks the timer up again afterwards.
    timer_.reset();
}

bool Shutdown::TimerEnabled() {
    Load();
    return timer_->Enabled();
}

void Shutdown::EnableTimer() {
    Load();
    timer_->SetEnabled(true);
}

void Shutdown::OnTick() {
    const int active = running_ ? running_() : 0;
    if (active > 0 && shutdownTicks_ < 30) {
        ++shutdownTicks_;
        return;
    }
    if (active > 0) {
        const std::string langFile =
            LangFilePath(installation_.LangFolder(), installation_.langFile);
        const bool yes = platform_.desktop->AskYesNo(
            LangText(files_, langFile, "There are tranfers running! Quit anyways?"), "Brimwarden");
        if (!yes) {
            shutdownTicks_ = 0;
            timer_->SetEnabled(false);
            Unload();
            return;
        }
    }
    platform_.desktop->RemoveIcon();
    if (beforeEnd_) beforeEnd_();
    platform_.process->EndNow(0);
}

}  // namespace bw
