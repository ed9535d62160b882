// DeliverySession: the delivery session. It owns one TCP socket (the held
// connection, server_connection.h), four timers and the SMTP session of its
// claimed queue pair (smtp_session.h), and leaves one minilog record per pair.
// Where the conversation style carries several messages per connection, a
// session whose pair was delivered keeps its connection open and waits idle
// for the next claimed pair (TakePair) for at most the kHandOver stage's
// limit; then, or when the server says anything or closes, it says QUIT and
// unloads. An idle session is no running delivery.
//
// Lifecycle: the dispatcher creates the session through DeliverySessions and
// calls StartSession(), which loads it. The conversation ends by switching
// unloadTimer_ on; the session unloads on that tick and is destroyed afterwards
// from the loop, never inside one of its own handlers. A pair that is not
// due (sent record, back-off) is released at once without a load. The
// watchdog unloads a session that has heard nothing for 300 seconds.
// DIAGNOSTICS: nothing throws; see smtp_session.h for what is logged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "delivery/delivery_context.h"
#include "delivery/queue_pair.h"
#include "delivery/server_connection.h"
#include "delivery/smtp_session.h"
#include "platform/loop.h"
#include "platform/socket.h"

namespace bw {

class DeliverySessions;
class Settlement;

class DeliverySession {
  public:
    DeliverySession(DeliveryContext& ctx, DeliverySessions& owner, QueuePair pair);
    ~DeliverySession();
    DeliverySession(const DeliverySession&) = delete;
    DeliverySession& operator=(const DeliverySession&) = delete;

    /// Loads the session: a pair that is due starts its conversation, one
    /// that is not (filed again instead, or in its back-off) is released.
    void StartSession();
    /// One step of the conversation.
    void StepConversation();

    /// Takes over the next claimed pair on the held connection (Idle() only).
    void TakePair(QueuePair pair);

    bool Loaded() const { return loaded_; }
    /// Loaded, not unloaded, and its pair not yet ended.
    bool Delivering() const { return loaded_ && !unloaded_ && !pairEnded_; }
    /// Holds an open connection and no pair.
    bool Idle() const { return idle_ && !finishing_; }
    bool Unloaded() const { return unloaded_; }
    /// One of the session's handlers is running.
    bool Busy() const { return depth_ > 0; }
    const MinilogRow& Row() const { return session_->Row(); }
    Stage CurrentStage() const { return session_->CurrentStage(); }

  private:
    class HandlerScope;
    template <typename Fn>
    auto Handler(Fn fn);

    void Start();
    void StartConversation(QueuePair pair);
    void EndPair();
    void Feedback(const DeliveryOutcome& outcome);
    void GoIdle();
    void EndIdle();
    void Unload();
    void OnStageTimer();
    void OnReadTimer();
    void OnWatchdogTimer();
    void OnUnloadTimer();
    void OnSocketError(long number, const std::string& description);
    void OnDataArrival(std::size_t totalBytes);
    void OnSendComplete();
    void OnClosed();
    void OnConnected();
    void PostStep();
    void PostedStep();
    void PostToSelf(void (DeliverySession::*fn)());

    DeliveryContext& ctx_;
    DeliverySessions& owner_;
    std::unique_ptr<TcpSocket> socket_;
    ServerConnection connection_;
    std::unique_ptr<Timer> unloadTimer_;
    std::unique_ptr<Timer> stageTimer_;
    std::unique_ptr<Timer> watchdogTimer_;
    std::unique_ptr<Timer> readTimer_;
    std::unique_ptr<SmtpSession> session_;
    std::unique_ptr<Settlement> settlement_;  // of session_'s pair; destroyed first
    std::shared_ptr<bool> alive_;             // posted steps find the session gone
    bool stepPosted_ = false;
    bool finishing_ = false;        // the session asked for the unload
    std::int64_t loadMs_ = 0;       // monotonic time of the load
    int depth_ = 0;                 // handlers of this session on the stack
    std::int64_t idleSinceMs_ = 0;  // monotonic time the connection fell idle
    bool loaded_ = false;
    bool unloaded_ = false;
    bool idle_ = false;       // the pair is done, the connection waits for the next
    bool pairEnded_ = false;  // the pair's minilog record and counts are given
};

}  // namespace bw
