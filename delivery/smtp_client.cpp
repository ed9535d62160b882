#include "delivery/smtp_client.h"

#include <utility>

#include "delivery/delivery_windows.h"
#include "platform/clock.h"

namespace bw {

// Marks the window busy while one of its handlers runs; the last one out of
// an unloaded window asks the loop to destroy it.
class frmSMTPClient::HandlerScope {
  public:
    explicit HandlerScope(frmSMTPClient& w) : w_(w) { ++w_.depth_; }
    ~HandlerScope() {
        if (--w_.depth_ == 0) w_.owner_.ScheduleReap();
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

  private:
    frmSMTPClient& w_;
};

// Every timer tick and socket event runs its member handler inside the
// window's handler scope, so a window is never destroyed under itself.
template <typename Fn>
auto frmSMTPClient::Handler(Fn fn) {
    return [this, fn](auto&&... args) {
        HandlerScope scope(*this);
        (this->*fn)(std::forward<decltype(args)>(args)...);
    };
}

frmSMTPClient::frmSMTPClient(DeliveryContext& ctx, DeliveryWindows& owner, QueuePair pair)
    : ctx_(ctx),
      owner_(owner),
      ws(ctx.newSocket()),
      fast_(ctx.settings.profile == Profile::kFast),
      alive_(std::make_shared<bool>(true)) {
    Loop& loop = ctx.loop;
    tmrUnload = std::make_unique<Timer>(loop, 5, false, Handler(&frmSMTPClient::tmrUnload_Timer));
    tmrStage = std::make_unique<Timer>(loop, 250, false, Handler(&frmSMTPClient::tmrStage_Timer));
    tmrStart = std::make_unique<Timer>(loop, 10, false, Handler(&frmSMTPClient::tmrStart_Timer));
    tmrTimeout =
        std::make_unique<Timer>(loop, 1000, false, Handler(&frmSMTPClient::tmrTimeout_Timer));
    tmrGetData =
        std::make_unique<Timer>(loop, 20, false, Handler(&frmSMTPClient::tmrGetData_Timer));
    ws->onError = Handler(&frmSMTPClient::ws_Error);
    ws->onDataArrival = Handler(&frmSMTPClient::ws_DataArrival);
    ws->onSendComplete = Handler(&frmSMTPClient::ws_SendComplete);
    ws->onClose = Handler(&frmSMTPClient::ws_Close);
    if (fast_) ws->onConnect = Handler(&frmSMTPClient::ws_Connect);
    SessionHooks hooks;
    hooks.stageInterval = [this](int ms) {
        if (tmrStage->Interval() != ms) tmrStage->SetInterval(ms);
        if (fast_) PostStep();
    };
    hooks.finish = [this] {
        tmrStage->SetEnabled(false);
        finishing_ = true;
        if (!fast_) return tmrUnload->SetEnabled(true);
        PostToWindow(&frmSMTPClient::tmrUnload_Timer);
    };
    session_ = std::make_unique<SmtpSession>(ctx, std::move(pair), *ws, std::move(hooks));
}

frmSMTPClient::~frmSMTPClient() {
    alive_.reset();
    // A window dropped without unloading (process end) still releases its files.
    session_->Pair().Release(ctx_.files);
}

void frmSMTPClient::StartWindow() {
    HandlerScope scope(*this);
    tmrStart->SetEnabled(true);
    if (loaded_) return;
    if (!session_->AttemptDue()) {
        session_->Pair().Release(ctx_.files);
        tmrStart->SetEnabled(false);
        loaded_ = true;
        unloaded_ = true;
        return;
    }
    loaded_ = true;
    // Design-time state: the stage and data timers run from the load on.
    tmrStage->SetEnabled(true);
    tmrGetData->SetEnabled(true);
    Form_Load();
    if (fast_) PostStep();
}

// The fast profile steps as soon as there is something to do: on entering a
// stage, on a connection, on data and on a finished write. The stage timer
// still runs, for the time limits.
void frmSMTPClient::PostStep() {
    if (stepPosted_) return;
    stepPosted_ = true;
    PostToWindow(&frmSMTPClient::PostedStep);
}

void frmSMTPClient::PostedStep() {
    stepPosted_ = false;
    if (tmrStage->Enabled()) tmrStage_Timer();
}

void frmSMTPClient::PostToWindow(void (frmSMTPClient::*fn)()) {
    std::weak_ptr<bool> alive = alive_;
    auto handler = Handler(fn);
    ctx_.loop.Post([alive, handler] {
        if (alive.lock()) handler();
    });
}

void frmSMTPClient::SendMessage() {
    session_->Step();
}

void frmSMTPClient::Form_Load() {
    ++ctx_.activeTransfers;
    loadMs_ = ctx_.clock.MonotonicMs();
    if (ctx_.meter != nullptr) ctx_.meter->SessionStarted();
    tmrTimeout->SetEnabled(true);
    session_->Begin();
}

void frmSMTPClient::Form_Unload() {
    if (!loaded_ || unloaded_) return;
    unloaded_ = true;
    session_->Pair().Release(ctx_.files);
    for (Timer* t :
         {tmrStart.get(), tmrStage.get(), tmrTimeout.get(), tmrGetData.get(), tmrUnload.get()}) {
        t->SetEnabled(false);
    }
    ws->Close();
    session_->End();
    --ctx_.activeTransfers;
    if (ctx_.meter != nullptr) {
        const std::string& folder = session_->Pair().folder;
        ctx_.meter->SessionEnded(folder.substr(0, folder.size() - 1), session_->Result(),
                                 static_cast<double>(ctx_.clock.MonotonicMs() - loadMs_) / 1000.0);
    }
    owner_.Unloaded(session_->MinLog(), session_->Pair().name, session_->Result());
}

void frmSMTPClient::tmrStart_Timer() {
    tmrStart->SetEnabled(false);
}

void frmSMTPClient::tmrStage_Timer() {
    tmrStage->SetEnabled(false);
    SendMessage();
    // A step that ended the session asked for the unload; at 1 ms the stage
    // timer would otherwise step again (and log again) before the 5 ms unload.
    if (!finishing_) tmrStage->SetEnabled(true);
}

void frmSMTPClient::tmrGetData_Timer() {
    tmrGetData->SetEnabled(false);
    session_->TakeData();
    tmrGetData->SetEnabled(true);
}

void frmSMTPClient::tmrTimeout_Timer() {
    if (!session_->SilentFor(300)) return;
    ws->Close();
    ctx_.loop.Wait(0.5);
    Form_Unload();
}

void frmSMTPClient::tmrUnload_Timer() {
    tmrUnload->SetEnabled(false);
    Form_Unload();
}

void frmSMTPClient::ws_Error(long, const std::string&) {
    // No message box. While connecting, the time limit turns the failure into
    // an outcome (the fast profile: at once); a connection that breaks later
    // ends the wait like a close.
    const Stage s = session_->CurrentStage();
    if (s != Stage::kConnect && s != Stage::kConnecting && ws->State() == TcpSocket::kError) {
        ws_Close();
    } else if (fast_ && s == Stage::kConnecting) {
        ws_Close();  // the fast profile does not sit out the limit of a failed connect
    }
}

void frmSMTPClient::ws_DataArrival(std::size_t) {
    if (tmrGetData->Enabled()) tmrGetData_Timer();
    if (tmrStage->Enabled()) tmrStage_Timer();
}

void frmSMTPClient::ws_Connect() {
    ws_DataArrival(0);
}

void frmSMTPClient::ws_SendComplete() {
    session_->SendComplete();
    ws_DataArrival(0);
}

// The server closed the connection: take what is left and judge at once.
void frmSMTPClient::ws_Close() {
    session_->Closed();
    ws_DataArrival(0);
}

}  // namespace bw
