#include "delivery/delivery_session.h"

#include <utility>

#include "delivery/delivery_sessions.h"
#include "delivery/server_concurrency.h"
#include "delivery/session_log.h"
#include "delivery/session_pacing.h"
#include "delivery/settlement.h"
#include "platform/clock.h"

namespace bw {

// Marks the session busy while one of its handlers runs; the last one out of
// an unloaded session asks the loop to destroy it.
class DeliverySession::HandlerScope {
  public:
    explicit HandlerScope(DeliverySession& w) : w_(w) { ++w_.depth_; }
    ~HandlerScope() {
        if (--w_.depth_ == 0) w_.owner_.ScheduleReap();
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

  private:
    DeliverySession& w_;
};

// Every timer tick and socket event runs its member handler inside the
// session's handler scope, so a session is never destroyed under itself.
template <typename Fn>
auto DeliverySession::Handler(Fn fn) {
    return [this, fn](auto&&... args) {
        HandlerScope scope(*this);
        (this->*fn)(std::forward<decltype(args)>(args)...);
    };
}

DeliverySession::DeliverySession(DeliveryContext& ctx, DeliverySessions& owner, QueuePair pair)
    : ctx_(ctx),
      owner_(owner),
      socket_(ctx.newSocket()),
      connection_(*socket_),
      alive_(std::make_shared<bool>(true)) {
    Loop& loop = ctx.loop;
    unloadTimer_ =
        std::make_unique<Timer>(loop, 5, false, Handler(&DeliverySession::OnUnloadTimer));
    stageTimer_ =
        std::make_unique<Timer>(loop, 250, false, Handler(&DeliverySession::OnStageTimer));
    watchdogTimer_ =
        std::make_unique<Timer>(loop, 1000, false, Handler(&DeliverySession::OnWatchdogTimer));
    readTimer_ = std::make_unique<Timer>(loop, 20, false, Handler(&DeliverySession::OnReadTimer));
    socket_->onError = Handler(&DeliverySession::OnSocketError);
    socket_->onDataArrival = Handler(&DeliverySession::OnDataArrival);
    socket_->onSendComplete = Handler(&DeliverySession::OnSendComplete);
    socket_->onClose = Handler(&DeliverySession::OnClosed);
    socket_->onConnect = Handler(&DeliverySession::OnConnected);
    StartConversation(std::move(pair));
}

// A conversation for `pair` over the held connection, and its settlement.
void DeliverySession::StartConversation(QueuePair pair) {
    settlement_.reset();
    session_ = std::make_unique<SmtpSession>(ctx_, std::move(pair), connection_);
    SmtpSession& conversation = *session_;
    settlement_ =
        std::make_unique<Settlement>(ctx_, conversation.Pair(), conversation.Row(),
                                     [&conversation](const char* prefix, const std::string& text) {
                                         conversation.Log(prefix, text);
                                     });
}

DeliverySession::~DeliverySession() {
    alive_.reset();
    // A session dropped without unloading (process end) releases its files
    // with its pair.
}

void DeliverySession::StartSession() {
    HandlerScope scope(*this);
    if (loaded_) return;
    if (!settlement_->AttemptDue()) {
        session_->Pair().Release();
        loaded_ = true;
        unloaded_ = true;
        return;
    }
    loaded_ = true;
    // Design-time state: the stage and data timers run from the load on.
    stageTimer_->SetEnabled(true);
    readTimer_->SetEnabled(true);
    Start();
    ctx_.pacing->Entered([this] { PostStep(); });
}

// Paced on events, a session steps as soon as there is something to do: on entering a
// stage, on a connection, on data and on a finished write. The stage timer
// still runs, for the time limits.
void DeliverySession::PostStep() {
    if (stepPosted_) return;
    stepPosted_ = true;
    PostToSelf(&DeliverySession::PostedStep);
}

void DeliverySession::PostedStep() {
    stepPosted_ = false;
    if (stageTimer_->Enabled()) OnStageTimer();
}

void DeliverySession::PostToSelf(void (DeliverySession::*fn)()) {
    std::weak_ptr<bool> alive = alive_;
    auto handler = Handler(fn);
    ctx_.loop.Post([alive, handler] {
        if (alive.lock()) handler();
    });
}

// One step of the conversation, then what it asks of the session without a
// call back: a new stage sets the stage timer (and, paced on events, posts
// the next step); a conversation that is over stops stepping and unloads.
void DeliverySession::StepConversation() {
    if (idle_) {
        const auto limitMs = static_cast<std::int64_t>(RowOf(Stage::kHandOver).firstLimit * 1000);
        if (ctx_.clock.MonotonicMs() - idleSinceMs_ >= limitMs) EndIdle();
        return;
    }
    const unsigned entered = session_->StagesEntered();
    session_->Step();
    if (session_->StagesEntered() != entered) {
        const int ms = RowOf(session_->CurrentStage()).intervalMs;
        if (stageTimer_->Interval() != ms) stageTimer_->SetInterval(ms);
        ctx_.pacing->Entered([this] { PostStep(); });
    }
    if (std::optional<DeliveryOutcome> outcome = session_->TakeOutcome()) {
        Feedback(*outcome);
        settlement_->Settle(*outcome);
    }
    if (session_->CurrentStage() == Stage::kHandOver) return GoIdle();
    if (session_->CurrentStage() == Stage::kDone && !finishing_) {
        settlement_->Finish();
        session_->Pair().Release();
        stageTimer_->SetEnabled(false);
        finishing_ = true;
        ctx_.pacing->Finished(*unloadTimer_,
                              [this] { PostToSelf(&DeliverySession::OnUnloadTimer); });
    }
}

// What the outcome says of the server's room for sessions.
void DeliverySession::Feedback(const DeliveryOutcome& outcome) {
    const int most = ctx_.settings.maxSessions;
    using Kind = DeliveryOutcome::Kind;
    if (outcome.kind == Kind::kDelivered) {
        ctx_.concurrency->Delivered(most);
    } else if (outcome.kind == Kind::kServerBusy) {
        ctx_.concurrency->Busy(connection_.endpoint, "answers 421 at the greeting",
                               owner_.Running(), most);
    } else if (outcome.left != nullptr && std::string_view(outcome.left) == "unreachable") {
        ctx_.concurrency->Busy(connection_.endpoint, "cannot be reached", owner_.Running(), most);
    }
}

// The pair is delivered and filed, its record given; the connection stays
// open for the next pair its owner hands over.
void DeliverySession::GoIdle() {
    settlement_->Finish();
    EndPair();
    idle_ = true;
    idleSinceMs_ = ctx_.clock.MonotonicMs();
}

// Idle too long, or the server spoke or closed: QUIT, and the session unloads.
void DeliverySession::EndIdle() {
    if (finishing_) return;
    if (socket_->State() == TcpSocket::kConnected) {
        session_->Log(kLogSend, "QUIT");
        socket_->SendData("QUIT\r\n");
    }
    connection_.ready = false;
    stageTimer_->SetEnabled(false);
    finishing_ = true;
    ctx_.pacing->Finished(*unloadTimer_, [this] { PostToSelf(&DeliverySession::OnUnloadTimer); });
}

void DeliverySession::TakePair(QueuePair pair) {
    HandlerScope scope(*this);
    StartConversation(std::move(pair));
    if (!settlement_->AttemptDue()) {
        session_->Pair().Release();
        return;
    }
    idle_ = false;
    pairEnded_ = false;
    Start();
    stageTimer_->SetInterval(RowOf(session_->CurrentStage()).intervalMs);
    ctx_.pacing->Entered([this] { PostStep(); });
}

void DeliverySession::Start() {
    loadMs_ = ctx_.clock.MonotonicMs();
    if (ctx_.meter != nullptr) ctx_.meter->SessionStarted();
    watchdogTimer_->SetEnabled(true);
    session_->Begin();
}

// What the pair leaves: released, its row written if it was not, the meter
// and the owner told (once per pair).
void DeliverySession::EndPair() {
    if (pairEnded_) return;
    pairEnded_ = true;
    session_->Pair().Release();
    settlement_->End();
    if (ctx_.meter != nullptr) {
        const std::string& folder = session_->Pair().folder;
        const std::string queue = folder.substr(0, folder.size() - 1);
        ctx_.meter->SessionEnded(queue, settlement_->Result(),
                                 static_cast<double>(ctx_.clock.MonotonicMs() - loadMs_) / 1000.0);
        if (settlement_->Result() == SessionResult::kLeft) {
            ctx_.meter->Left(queue, settlement_->LeftReason());
        }
    }
    owner_.Unloaded(session_->Row(), session_->Pair().name, settlement_->Result());
}

void DeliverySession::Unload() {
    if (!loaded_ || unloaded_) return;
    unloaded_ = true;
    for (Timer* t :
         {stageTimer_.get(), watchdogTimer_.get(), readTimer_.get(), unloadTimer_.get()}) {
        t->SetEnabled(false);
    }
    socket_->Close();
    EndPair();
}

void DeliverySession::OnStageTimer() {
    stageTimer_->SetEnabled(false);
    StepConversation();
    // A step that ended the session asked for the unload; at 1 ms the stage
    // timer would otherwise step again (and log again) before the 5 ms unload.
    if (!finishing_) stageTimer_->SetEnabled(true);
}

void DeliverySession::OnReadTimer() {
    readTimer_->SetEnabled(false);
    session_->Heard(SmtpSession::SocketEvent::kData);
    readTimer_->SetEnabled(true);
}

void DeliverySession::OnWatchdogTimer() {
    if (!session_->SilentFor(300)) return;
    socket_->Close();
    ctx_.loop.Wait(0.5);
    Unload();
}

void DeliverySession::OnUnloadTimer() {
    unloadTimer_->SetEnabled(false);
    Unload();
}

void DeliverySession::OnSocketError(long, const std::string&) {
    // No message box. While connecting, the time limit turns the failure into
    // an outcome (paced on events: at once); a connection that breaks later
    // ends the wait like a close.
    const Stage s = session_->CurrentStage();
    if (s != Stage::kConnect && s != Stage::kConnecting && socket_->State() == TcpSocket::kError) {
        OnClosed();
    } else if (s == Stage::kConnecting) {
        // Paced on events, a failed connect is judged at once, not at the limit.
        ctx_.pacing->ConnectionSettled([this] { OnClosed(); });
    }
}

void DeliverySession::OnDataArrival(std::size_t) {
    // An idle connection has nothing to hear: a server that speaks (421, its
    // time-out) or closes ends it.
    if (idle_) {
        if (socket_->BytesReceived() > 0 || socket_->State() != TcpSocket::kConnected) EndIdle();
        return;
    }
    if (readTimer_->Enabled()) OnReadTimer();
    if (stageTimer_->Enabled()) OnStageTimer();
}

void DeliverySession::OnConnected() {
    ctx_.pacing->ConnectionSettled([this] { OnDataArrival(0); });
}

void DeliverySession::OnSendComplete() {
    session_->Heard(SmtpSession::SocketEvent::kWritten);
    OnDataArrival(0);
}

// The server closed the connection: take what is left and judge at once.
void DeliverySession::OnClosed() {
    session_->Heard(SmtpSession::SocketEvent::kClosed);
    OnDataArrival(0);
}

}  // namespace bw
