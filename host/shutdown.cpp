#include "host/shutdown.h"

#include "host/globals.h"
#include "host/host_platform.h"
#include "host/lang.h"
#include "platform/desktop.h"
#include "platform/loop.h"
#include "platform/process.h"

namespace bw {

frmShutDown::frmShutDown() = default;
frmShutDown::~frmShutDown() = default;

void frmShutDown::Load() {
    if (Loaded()) return;
    tmrShutDown_ = std::make_unique<Timer>(*G().loop, 1000, true, [this] { tmrShutDown_Timer(); });
}

void frmShutDown::Unload() {
    // Safe inside the timer's own tick: the loop looks the timer up again afterwards.
    tmrShutDown_.reset();
}

bool frmShutDown::TimerEnabled() {
    Load();
    return tmrShutDown_->Enabled();
}

void frmShutDown::EnableTimer() {
    Load();
    tmrShutDown_->SetEnabled(true);
}

void frmShutDown::tmrShutDown_Timer() {
    Globals& g = G();
    if (g.iActiveTransfers > 0 && g.iShutdownTicks < 30) {
        ++g.iShutdownTicks;
        return;
    }
    if (g.iActiveTransfers > 0) {
        const bool yes = HP().desktop->AskYesNo(
            LangText("There are tranfers running! Quit anyways?"), "Brimwarden");
        if (!yes) {
            g.iShutdownTicks = 0;
            tmrShutDown_->SetEnabled(false);
            Unload();
            return;
        }
    }
    HP().desktop->RemoveIcon();
    HP().process->EndNow(0);
}

}  // namespace bw
