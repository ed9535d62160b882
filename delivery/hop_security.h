// How the hop to the internal mail server is secured, from section "Server":
// "TLS" none (the default: the conversation in clear text, as always), may
// (STARTTLS when the server offers it, else clear text), encrypt (STARTTLS
// required, the certificate not checked) or verify (STARTTLS required, the
// chain checked against "TLSCAFile" or the system's store and the name
// against "TLSServerName" or the server entry's host); "TLSCertFile" and
// "TLSKeyFile", a client certificate; "AuthUser" with the password in
// "AuthPasswordFile" (a file only its owner can read): SMTP AUTH PLAIN or
// LOGIN, only ever over TLS.
// A hop that cannot be set up (no STARTTLS offered, a failed handshake, a
// certificate that does not verify, a refused AUTH) is the configuration's
// fault, not the message's: HopProblems tells the journal once per server and
// cause, and once more when that server works again.
// DIAGNOSTICS: ApplyHopSecuritySettings returns the text the start-up ends
// with (status 9) for a value that is not allowed; nothing throws.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace bw {

class ServiceControl;

enum class TlsLevel { kNone, kMay, kEncrypt, kVerify };

struct HopSecurity {
    TlsLevel level = TlsLevel::kNone;
    std::string caFile;      // "TLSCAFile"; "" = the system's store
    std::string serverName;  // "TLSServerName"; "" = the server entry's host
    std::string certFile;    // "TLSCertFile"
    std::string keyFile;     // "TLSKeyFile"; "" = in TLSCertFile
    std::string authUser;    // "AuthUser"; "" = no AUTH
    std::string authPassword;

    bool Tls() const { return level != TlsLevel::kNone; }
    bool TlsRequired() const { return level == TlsLevel::kEncrypt || level == TlsLevel::kVerify; }
    bool Auth() const { return !authUser.empty(); }
};

struct HopSecurityValues {
    std::string tls{}, caFile{}, serverName{}, certFile{}, keyFile{}, authUser{},
        authPasswordFile{};
};

/// Sets `security` from the values (reading the password file); "" when all
/// are allowed, else the problem.
std::string ApplyHopSecuritySettings(const HopSecurityValues& values, HopSecurity& security);

/// RFC 4648 base64, as AUTH sends its arguments.
std::string Base64(std::string_view bytes);
/// "AUTH PLAIN <base64 of NUL user NUL password>" (RFC 4616).
std::string AuthPlainLine(const HopSecurity& security);

/// The journal's record of hops that could not be set up: one warning per
/// server and cause, one information when that server works again.
class HopProblems {
  public:
    /// `journal` may be null.
    explicit HopProblems(ServiceControl* journal) : journal_(journal) {}
    /// `server` ("host:port") could not be set up because of `cause`.
    void Failed(const std::string& server, const std::string& cause);
    /// `server` was set up as asked.
    void Worked(const std::string& server);

  private:
    ServiceControl* journal_;
    std::map<std::string, std::string> failing_;  // server -> the last cause told
};

}  // namespace bw
