// frmSMTPClient: the delivery window. One per claimed queue pair; it owns one
// TCP socket, five timers and the SMTP session of the pair (smtp_session.h),
// and leaves one minilog record when it unloads.
//
// Lifecycle: the dispatcher creates the window through DeliveryWindows and
// calls StartWindow(), which loads it. The conversation ends by switching
// tmrUnload on; the window unloads on that tick and is destroyed afterwards
// from the loop, never inside one of its own handlers. A pair that is not
// due (sent record, back-off) is released at once without a load. The
// watchdog unloads a window that has heard nothing for 300 seconds.
// DIAGNOSTICS: nothing throws; see smtp_session.h for what is logged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "delivery/delivery_context.h"
#include "delivery/queue_pair.h"
#include "delivery/smtp_session.h"
#include "platform/loop.h"
#include "platform/socket.h"

namespace bw {

class DeliveryWindows;

class frmSMTPClient {
  public:
    frmSMTPClient(DeliveryContext& ctx, DeliveryWindows& owner, QueuePair pair);
    ~frmSMTPClient();
    frmSMTPClient(const frmSMTPClient&) = delete;
    frmSMTPClient& operator=(const frmSMTPClient&) = delete;

    /// Switches tmrStart on, which loads the window (runs the load handler).
    void StartWindow();
    /// One step of the conversation.
    void SendMessage();

    bool Loaded() const { return loaded_; }
    bool Unloaded() const { return unloaded_; }
    /// One of the window's handlers is running.
    bool Busy() const { return depth_ > 0; }
    const tMinLog& MinLog() const { return session_->MinLog(); }
    Stage CurrentStage() const { return session_->CurrentStage(); }

  private:
    class HandlerScope;
    template <typename Fn>
    auto Handler(Fn fn);

    void Form_Load();
    void Form_Unload();
    void tmrStart_Timer();
    void tmrStage_Timer();
    void tmrGetData_Timer();
    void tmrTimeout_Timer();
    void tmrUnload_Timer();
    void ws_Error(long number, const std::string& description);
    void ws_DataArrival(std::size_t totalBytes);
    void ws_SendComplete();
    void ws_Close();
    void ws_Connect();
    void PostStep();
    void PostedStep();
    void PostToWindow(void (frmSMTPClient::*fn)());

    DeliveryContext& ctx_;
    DeliveryWindows& owner_;
    std::unique_ptr<TcpSocket> ws;
    std::unique_ptr<Timer> tmrUnload;
    std::unique_ptr<Timer> tmrStage;
    std::unique_ptr<Timer> tmrStart;
    std::unique_ptr<Timer> tmrTimeout;
    std::unique_ptr<Timer> tmrGetData;
    std::unique_ptr<SmtpSession> session_;
    const bool fast_;              // the fast profile: step on events, not on ticks
    std::shared_ptr<bool> alive_;  // posted steps find the window gone
    bool stepPosted_ = false;
    bool finishing_ = false;   // the session asked for the unload
    std::int64_t loadMs_ = 0;  // monotonic time of the load
    int depth_ = 0;            // handlers of this window on the stack
    bool loaded_ = false;
    bool unloaded_ = false;
};

}  // namespace bw
