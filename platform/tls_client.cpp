#include "platform/tls_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <asio/ssl/context.hpp>

namespace bw {

namespace {

// OpenSSL's reason for the last failure, cleared from its queue.
std::string OpenSslReason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? reason : "unknown error";
}

}  // namespace

TlsClient::TlsClient(std::unique_ptr<asio::ssl::context> context, bool verify)
    : context_(std::move(context)), verify_(verify) {}

TlsClient::~TlsClient() = default;

std::unique_ptr<TlsClient> TlsClient::Make(const TlsClientSettings& settings,
                                           std::string& problem) {
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX* ctx = context->native_handle();
    ERR_clear_error();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    if (settings.verify) {
        const bool loaded =
            settings.caFile.empty()
                ? SSL_CTX_set_default_verify_paths(ctx) == 1
                : SSL_CTX_load_verify_locations(ctx, settings.caFile.c_str(), nullptr) == 1;
        if (!loaded) {
            problem = settings.caFile.empty()
                          ? "the system's CA store cannot be read: " + OpenSslReason()
                          : "TLSCAFile " + settings.caFile + " cannot be used: " + OpenSslReason();
            return nullptr;
        }
    }
    if (!settings.certFile.empty()) {
        const std::string& key = settings.keyFile.empty() ? settings.certFile : settings.keyFile;
        if (SSL_CTX_use_certificate_chain_file(ctx, settings.certFile.c_str()) != 1) {
            problem = "TLSCertFile " + settings.certFile + " cannot be used: " + OpenSslReason();
            return nullptr;
        }
        if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
            problem = "TLSKeyFile " + key + " cannot be used: " + OpenSslReason();
            return nullptr;
        }
        if (SSL_CTX_check_private_key(ctx) != 1) {
            problem = "TLSKeyFile " + key + " does not belong to TLSCertFile " + settings.certFile +
                      ": " + OpenSslReason();
            return nullptr;
        }
    }
    return std::unique_ptr<TlsClient>(new TlsClient(std::move(context), settings.verify));
}

}  // namespace bw
