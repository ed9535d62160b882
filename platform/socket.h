// The TCP client socket of the delivery windows: remote host and port,
// connect, state (7 = connected), send, bytes waiting, take all waiting bytes,
// remote address and port, close; events Error, DataArrival, Close,
// SendComplete and Connect (the connection stands). AsioTcpSocket realises it on the loop's
// io_context with an asynchronous resolve and connect, a continuous read into its own buffer and
// one asynchronous write per sent text. StartTls() turns a connected socket
// into a TLS one (STARTTLS, RFC 3207): from then on every byte goes through
// OpenSSL (platform/tls_client.h); what came in clear and was not taken is
// dropped, so nothing the server sent before the handshake is read after it.
//
// Events always run on the loop, never inside the call that caused them (an
// immediate failure of connect or send is posted). After Close() or the
// destruction of the socket no event of the old connection is delivered.
// DIAGNOSTICS: nothing throws; failures raise the Error event (number and
// description) and leave State() at kError; a failed handshake also names
// its cause in Tls().failure ("certificate verify failed: hostname mismatch"). TCP_NODELAY is set;
// a peer that closes never raises SIGPIPE (MSG_NOSIGNAL).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace bw {

class Loop;
class TlsClient;

/// TLS on a connection: whether it is on, its protocol version and cipher,
/// and why the handshake failed ("" when it did not).
struct TlsState {
    bool on = false;
    std::string version;  // "TLSv1.3"
    std::string cipher;   // "TLS_AES_256_GCM_SHA384"
    std::string failure;
};

class TcpSocket {
  public:
    // The states of a socket, numbered as the gateway's components have always numbered them.
    static constexpr int kClosed = 0;
    static constexpr int kResolving = 4;
    static constexpr int kConnecting = 6;
    static constexpr int kConnected = 7;
    static constexpr int kPeerClosing = 8;
    static constexpr int kError = 9;

    virtual ~TcpSocket() = default;

    virtual void SetRemoteHost(const std::string& host) = 0;
    virtual void SetRemotePort(std::int32_t port) = 0;
    /// Starts resolving and connecting; the state shows progress.
    virtual void Connect() = 0;
    virtual int State() const = 0;
    /// Queues `data` for sending; SendComplete follows when all of it is written.
    virtual void SendData(const std::string& data) = 0;
    /// Received bytes not yet taken.
    virtual std::size_t BytesReceived() const = 0;
    /// Takes every received byte as 8-bit text.
    virtual std::string TakeData() = 0;
    /// Numeric address and port of the connected peer ("" and 0 when none).
    virtual std::string RemoteHostIP() const = 0;
    virtual std::int32_t RemotePort() const = 0;
    virtual void Close() = 0;
    /// Starts TLS on the connected socket, after the server's "220" to
    /// STARTTLS. `name` is sent as the server name (SNI) and, when `client`
    /// verifies, is the name the certificate must carry (a host name or an
    /// address). Connect follows when the handshake is done; Error when it
    /// failed (Tls().failure says why).
    virtual void StartTls(TlsClient* client, const std::string& name) = 0;
    virtual TlsState Tls() const = 0;

    // Events (on the loop).
    std::function<void(long number, const std::string& description)> onError;
    std::function<void(std::size_t totalBytes)> onDataArrival;
    std::function<void()> onClose;
    std::function<void()> onSendComplete;
    std::function<void()> onConnect;
};

/// A socket on `loop`'s io_context.
std::unique_ptr<TcpSocket> NewTcpSocket(Loop& loop);

}  // namespace bw
