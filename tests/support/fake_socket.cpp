#include "tests/support/fake_socket.h"

#include <algorithm>
#include <utility>

#include "platform/loop.h"

namespace bw::test {

namespace {

class FakeSocket final : public TcpSocket {
  public:
    FakeSocket(Loop& loop, FakeServer& server)
        : loop_(loop), server_(server), alive_(std::make_shared<bool>(true)) {}
    ~FakeSocket() override { *alive_ = false; }

    void SetRemoteHost(const std::string& host) override { host_ = host; }
    void SetRemotePort(std::int32_t port) override { port_ = port; }
    void Connect() override {
        state_ = kConnecting;
        step_ = 0;
        mailStep_ = 0;
        in_.clear();
        inBody_ = false;
        tls_ = TlsState{};
        const std::size_t k = static_cast<std::size_t>(server_.attempts++);
        script_ = server_.scripts.empty()
                      ? nullptr
                      : &server_.scripts[std::min(k, server_.scripts.size() - 1)];
        Later([this] {
            if (script_ != nullptr && !script_->empty() && (*script_)[0] == kRefuse) {
                state_ = kError;
                if (onError) onError(111, "Connection refused");
                return;
            }
            ++server_.connections;
            state_ = kConnected;
            if (onConnect) onConnect();
            Answer();
        });
    }
    int State() const override { return state_; }
    void SendData(const std::string& data) override {
        in_ += data;
        Later([this] {
            if (onSendComplete) onSendComplete();
        });
        Consume();
    }
    std::size_t BytesReceived() const override { return rx_.size(); }
    std::string TakeData() override { return std::exchange(rx_, std::string()); }
    std::string RemoteHostIP() const override { return state_ == kConnected ? host_ : ""; }
    std::int32_t RemotePort() const override { return state_ == kConnected ? port_ : 0; }
    void StartTls(TlsClient*, const std::string& name) override {
        server_.tlsNames.push_back(name);
        rx_.clear();
        const std::size_t n = ++step_;
        const std::string next =
            script_ != nullptr && n <= script_->size() ? (*script_)[n - 1] : kSilent;
        if (next == kSilent) return;
        Later([this, next] {
            if (next == kTlsUp) {
                tls_ = TlsState{true, "TLSv1.3", "TLS_TEST", ""};
                if (onConnect) onConnect();
                return;
            }
            state_ = kError;
            tls_.failure = next;
            if (onError) onError(10054, next);
        });
    }
    TlsState Tls() const override { return tls_; }
    void Close() override {
        state_ = kClosed;
        *alive_ = false;
        alive_ = std::make_shared<bool>(true);
    }

  private:
    template <typename Fn>
    void Later(Fn fn) {
        std::weak_ptr<bool> alive = alive_;
        loop_.Post([alive, fn] {
            if (auto a = alive.lock(); a && *a) fn();
        });
    }
    // Splits what the client sent into commands and bodies, answering each.
    void Consume() {
        while (true) {
            if (inBody_) {
                // The end of data: a "." line, first or after a line end.
                const auto end = in_.rfind(".\r\n", 0) == 0 ? 0 : in_.find("\r\n.\r\n");
                if (end == std::string::npos) return;
                const std::size_t len = end == 0 ? 3 : end + 5;
                server_.bodies.push_back(in_.substr(0, len));
                in_.erase(0, len);
                inBody_ = false;
            } else {
                const auto end = in_.find("\r\n");
                if (end == std::string::npos) return;
                server_.commands.push_back(in_.substr(0, end));
                in_.erase(0, end + 2);
                // A further MAIL FROM on a kept connection: the transaction again.
                if (server_.commands.back().starts_with("MAIL FROM")) {
                    if (mailStep_ == 0) mailStep_ = step_;
                    step_ = mailStep_;
                }
            }
            const bool data = !server_.commands.empty() && server_.commands.back() == "DATA" &&
                              script_ != nullptr && step_ < script_->size() &&
                              (*script_)[step_][0] == '3';
            Answer();
            if (data) inBody_ = true;
        }
    }
    void Answer() {
        const std::size_t n = ++step_;
        if (script_ == nullptr || n > script_->size()) return;
        const std::string reply = (*script_)[n - 1];
        if (reply == kSilent) return;
        Later([this, reply] {
            if (reply == kClose) {
                state_ = kClosed;
                if (onClose) onClose();
                return;
            }
            rx_ += reply;
            if (onDataArrival) onDataArrival(rx_.size());
        });
    }

    Loop& loop_;
    FakeServer& server_;
    std::shared_ptr<bool> alive_;  // events of a closed connection are dropped
    std::string host_;
    std::int32_t port_ = 0;
    int state_ = kClosed;
    std::string in_;
    std::string rx_;
    std::size_t step_ = 0;
    std::size_t mailStep_ = 0;  // the step that answers this connection's first MAIL FROM
    const std::vector<std::string>* script_ = nullptr;
    bool inBody_ = false;
    TlsState tls_;
};

}  // namespace

SocketFactory FakeSocketMaker(Loop& loop, FakeServer& server) {
    return [&loop, &server] { return std::make_unique<FakeSocket>(loop, server); };
}

}  // namespace bw::test
