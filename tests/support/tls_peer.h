// A TLS-capable SMTP server on 127.0.0.1 for the tests (tls_smtp_server.py,
// aiosmtpd under the system's Python): STARTTLS required before MAIL, AUTH
// only over TLS, with certificates made for the test run by make-test-certs
// (a test CA, client certificates from it are asked for, and server certificates for the right
// name, another name, an expired one and one from an unknown CA). Everything goes with the object.
// DIAGNOSTICS: a server that does not start within 20 s is a test failure.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace bw::test {

/// The certificates of a test run, in their own folder: Path(name) is
/// "<folder>/<name>"; names as make-test-certs gives them ("ca.pem",
/// "server.pem", "server.key", "other.pem", "expired.pem", "unknown.pem", ...).
class TestCertificates {
  public:
    TestCertificates();
    std::string Path(const std::string& name) const { return dir_.Path() + "/" + name; }

  private:
    TempDir dir_{"bwcerts"};
};

struct TlsPeerOptions {
    std::string cert = "server";  // the server certificate's name in TestCertificates
    bool startTls = true;         // offer (and require) STARTTLS
    bool smuggle = false;         // clear-text lines after "220 Ready to start TLS"
    std::string user{};           // AUTH required as this user ("" = no AUTH)
    std::string password{};
};

class TlsPeer {
  public:
    TlsPeer(const TestCertificates& certs, TlsPeerOptions options);
    ~TlsPeer();
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    int Port() const { return port_; }
    /// One line per message taken: "tls=TLSv1.3 auth=user cert=client from=..."
    /// ("none" for what was not there; cert: the client certificate's name).
    std::vector<std::string> Taken() const;

  private:
    TempDir dir_{"bwtlspeer"};
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace bw::test
