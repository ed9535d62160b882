#include "platform/socket.h"

#include <array>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/write.hpp>
#include <deque>
#include <vector>

#include "platform/loop.h"
#include "platform/tls_client.h"

namespace bw {

namespace {

// Error numbers reported by the Error event, the ones the gateway's components know.
constexpr long kErrWrongState = 40006;
constexpr long kErrHostNotFound = 11001;
constexpr long kErrConnect = 10061;
constexpr long kErrConnection = 10053;
constexpr long kErrTls = 10054;

using TlsStream = asio::ssl::stream<asio::ip::tcp::socket&>;

// Why a handshake failed, as an administrator reads it: the certificate
// check's own reason when the chain or the name did not verify.
std::string HandshakeFailure(TlsStream& tls, bool verifies, const asio::error_code& ec) {
    if (verifies) {
        const long result = SSL_get_verify_result(tls.native_handle());
        if (result != X509_V_OK) {
            return std::string("certificate verify failed: ") +
                   X509_verify_cert_error_string(result);
        }
    }
    if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
        return "the server closed the connection during the handshake";
    }
    return "handshake failed: " + ec.message();
}

// The state shared with pending asynchronous operations. Handlers hold it by
// shared_ptr and check the generation: Close() and a new Connect() start a
// new one, so completions of an old connection are dropped.
struct Core : std::enable_shared_from_this<Core> {
    explicit Core(asio::io_context& io) : io(io), socket(io), resolver(io) {}

    asio::io_context& io;
    asio::ip::tcp::socket socket;
    asio::ip::tcp::resolver resolver;
    TcpSocket* owner = nullptr;  // cleared when the public object goes
    std::uint64_t gen = 0;
    int state = TcpSocket::kClosed;
    std::string host;
    std::int32_t port = 0;
    std::string received;
    std::array<char, 64 * 1024> readBuf{};
    std::deque<std::string> outQueue;
    bool writing = false;
    std::string remoteIP;
    std::int32_t remotePort = 0;
    // TLS, once StartTls() began: shared with its pending operations, which
    // refer to it until they complete.
    std::shared_ptr<TlsStream> tls;
    bool handshaking = false;
    TlsState tlsState;

    void Fail(long number, const std::string& description) {
        state = TcpSocket::kError;
        if (owner != nullptr && owner->onError) owner->onError(number, description);
    }

    void PostError(long number, std::string description) {
        auto self = shared_from_this();
        const std::uint64_t g = gen;
        asio::post(io, [self, g, number, description = std::move(description)] {
            if (self->gen == g) self->Fail(number, description);
        });
    }

    void Shut() {
        ++gen;
        asio::error_code ec;
        resolver.cancel();
        if (socket.is_open()) {
            socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
            socket.close(ec);
        }
        outQueue.clear();
        writing = false;
        tls.reset();
        handshaking = false;
        tlsState = TlsState{};
        state = TcpSocket::kClosed;
    }

    void StartRead() {
        auto self = shared_from_this();
        const std::uint64_t g = gen;
        auto done = [self, g, keep = tls](asio::error_code ec, std::size_t n) {
            if (self->gen != g) return;
            if (!ec) {
                self->received.append(self->readBuf.data(), n);
                if (self->owner != nullptr && self->owner->onDataArrival) {
                    self->owner->onDataArrival(self->received.size());
                }
                if (self->gen == g && self->state == TcpSocket::kConnected) self->StartRead();
                return;
            }
            if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
                self->state = TcpSocket::kPeerClosing;
                if (self->owner != nullptr && self->owner->onClose) self->owner->onClose();
                return;
            }
            if (ec == asio::error::operation_aborted) return;
            self->Fail(kErrConnection, ec.message());
        };
        if (tls) {
            tls->async_read_some(asio::buffer(readBuf), std::move(done));
        } else {
            socket.async_read_some(asio::buffer(readBuf), std::move(done));
        }
    }

    void StartWrite() {
        if (writing || handshaking || outQueue.empty()) return;
        writing = true;
        auto self = shared_from_this();
        const std::uint64_t g = gen;
        auto done = [self, g, keep = tls](asio::error_code ec, std::size_t) {
            if (self->gen != g) return;
            self->writing = false;
            if (ec) {
                if (ec != asio::error::operation_aborted) {
                    self->Fail(kErrConnection, ec.message());
                }
                return;
            }
            self->outQueue.pop_front();
            if (self->owner != nullptr && self->owner->onSendComplete) {
                self->owner->onSendComplete();
            }
            if (self->gen == g) self->StartWrite();
        };
        if (tls) {
            asio::async_write(*tls, asio::buffer(outQueue.front()), std::move(done));
        } else {
            asio::async_write(socket, asio::buffer(outQueue.front()), std::move(done));
        }
    }

    // STARTTLS: the clear-text read stops and what it brought is dropped (a
    // server that sends more after its "220" is not heard), then the
    // handshake; reading and writing go on through TLS when it is done.
    void StartTls(TlsClient& client, const std::string& name) {
        ++gen;
        asio::error_code ignored;
        socket.cancel(ignored);
        received.clear();
        writing = false;
        handshaking = true;
        tls = std::make_shared<TlsStream>(socket, client.Context());
        SSL* ssl = tls->native_handle();
        asio::error_code notAddress;
        asio::ip::make_address(name, notAddress);
        if (notAddress) SSL_set_tlsext_host_name(ssl, name.c_str());
        const bool verifies = client.Verifies();
        if (verifies) {
            tls->set_verify_mode(asio::ssl::verify_peer);
            X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
            if (notAddress) {
                X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
                SSL_set1_host(ssl, name.c_str());
            } else {
                X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
            }
        } else {
            tls->set_verify_mode(asio::ssl::verify_none);
        }
        auto self = shared_from_this();
        const std::uint64_t g = gen;
        tls->async_handshake(asio::ssl::stream_base::client,
                             [self, g, keep = tls, verifies](asio::error_code ec) {
                                 if (self->gen != g) return;
                                 self->Handshaken(*keep, verifies, ec);
                             });
    }

    void Handshaken(TlsStream& stream, bool verifies, const asio::error_code& ec) {
        handshaking = false;
        if (ec) {
            tlsState.failure = HandshakeFailure(stream, verifies, ec);
            Fail(kErrTls, tlsState.failure);
            return;
        }
        tlsState.on = true;
        tlsState.version = SSL_get_version(stream.native_handle());
        tlsState.cipher = SSL_get_cipher_name(stream.native_handle());
        const std::uint64_t g = gen;
        StartRead();
        StartWrite();
        if (gen == g && owner != nullptr && owner->onConnect) owner->onConnect();
    }

    void Connect() {
        Shut();
        received.clear();
        remoteIP.clear();
        remotePort = 0;
        state = TcpSocket::kResolving;
        auto self = shared_from_this();
        const std::uint64_t g = gen;
        // A numeric address needs no resolver (and none of its thread).
        asio::error_code notNumeric;
        const asio::ip::address address = asio::ip::make_address(host, notNumeric);
        if (!notNumeric && port > 0 && port <= 65535) {
            state = TcpSocket::kConnecting;
            const asio::ip::tcp::endpoint ep(address, static_cast<unsigned short>(port));
            return ConnectTo(std::vector<asio::ip::tcp::endpoint>{ep}, g);
        }
        resolver.async_resolve(
            host, std::to_string(port), asio::ip::resolver_base::numeric_service,
            [self, g](asio::error_code ec, asio::ip::tcp::resolver::results_type results) {
                if (self->gen != g) return;
                if (ec) {
                    self->Fail(kErrHostNotFound, "Host not found: " + self->host);
                    return;
                }
                self->state = TcpSocket::kConnecting;
                self->ConnectTo(results, g);
            });
    }

    template <typename Endpoints>
    void ConnectTo(const Endpoints& endpoints, std::uint64_t g) {
        auto self = shared_from_this();
        asio::async_connect(socket, endpoints,
                            [self, g](asio::error_code ec, const asio::ip::tcp::endpoint& ep) {
                                if (self->gen != g) return;
                                if (ec) {
                                    self->Fail(kErrConnect, ec.message());
                                    return;
                                }
                                asio::error_code ignored;
                                self->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
                                self->remoteIP = ep.address().to_string();
                                self->remotePort = ep.port();
                                self->state = TcpSocket::kConnected;
                                self->StartRead();
                                self->StartWrite();
                                if (self->owner != nullptr && self->owner->onConnect)
                                    self->owner->onConnect();
                            });
    }
};

class AsioTcpSocket final : public TcpSocket {
  public:
    explicit AsioTcpSocket(Loop& loop) : core_(std::make_shared<Core>(loop.Io())) {
        core_->owner = this;
    }
    ~AsioTcpSocket() override {
        core_->owner = nullptr;
        core_->Shut();
    }

    void SetRemoteHost(const std::string& host) override { core_->host = host; }
    void SetRemotePort(std::int32_t port) override { core_->port = port; }
    void Connect() override {
        if (core_->state != kClosed && core_->state != kError && core_->state != kPeerClosing) {
            core_->PostError(kErrWrongState, "Wrong protocol or connection state");
            return;
        }
        core_->Connect();
    }
    int State() const override { return core_->state; }
    void SendData(const std::string& data) override {
        if (core_->state != kConnected) {
            core_->PostError(kErrWrongState, "Wrong protocol or connection state");
            return;
        }
        core_->outQueue.push_back(data);
        core_->StartWrite();
    }
    std::size_t BytesReceived() const override { return core_->received.size(); }
    std::string TakeData() override {
        std::string out;
        out.swap(core_->received);
        return out;
    }
    std::string RemoteHostIP() const override { return core_->remoteIP; }
    std::int32_t RemotePort() const override { return core_->remotePort; }
    void Close() override { core_->Shut(); }
    void StartTls(TlsClient* client, const std::string& name) override {
        if (core_->state != kConnected || core_->tls || client == nullptr) {
            core_->PostError(kErrWrongState, "Wrong protocol or connection state");
            return;
        }
        core_->StartTls(*client, name);
    }
    TlsState Tls() const override { return core_->tlsState; }

  private:
    std::shared_ptr<Core> core_;
};

}  // namespace

std::unique_ptr<TcpSocket> NewTcpSocket(Loop& loop) {
    return std::make_unique<AsioTcpSocket>(loop);
}

}  // namespace bw
