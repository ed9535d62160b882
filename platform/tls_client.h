// The client side of TLS on the hop to the internal mail server: one OpenSSL
// context made at start-up from the settings, which every socket's STARTTLS
// uses (TcpSocket::StartTls). TLS 1.2 at least; the chain is checked against
// a CA file or the system's store when the settings ask for it (the name is
// checked per connection, by the socket); a client certificate and its key
// are presented when given.
// DIAGNOSTICS: Make() returns null with the problem (a file that cannot be
// read, a key that does not belong to its certificate); nothing throws.
#pragma once

#include <memory>
#include <string>

namespace asio::ssl {
class context;
}

namespace bw {

struct TlsClientSettings {
    bool verify = false;   // check the server's chain and name
    std::string caFile;    // the CAs the chain must lead to; "" = the system's store
    std::string certFile;  // the client certificate (PEM); "" = none
    std::string keyFile;   // its private key (PEM); "" = in certFile
};

class TlsClient {
  public:
    /// The context for `settings`, or null with `problem` set.
    static std::unique_ptr<TlsClient> Make(const TlsClientSettings& settings, std::string& problem);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    /// Whether the server's certificate chain and name are checked.
    bool Verifies() const { return verify_; }
    asio::ssl::context& Context() { return *context_; }

  private:
    TlsClient(std::unique_ptr<asio::ssl::context> context, bool verify);

    std::unique_ptr<asio::ssl::context> context_;
    bool verify_;
};

}  // namespace bw
