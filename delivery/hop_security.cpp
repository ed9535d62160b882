#include "delivery/hop_security.h"

#include <algorithm>

#include "host/textfile.h"
#include "platform/ascii_text.h"
#include "platform/log_text.h"
#include "platform/secret_file.h"
#include "platform/service.h"

namespace bw {

namespace {

std::string NotAllowed(const char* name, const std::string& value, const std::string& allowed) {
    return std::string("Setting not allowed: Server\\") + name + " = \"" + value +
           "\" (allowed: " + allowed + ")";
}

}  // namespace

std::string ApplyHopSecuritySettings(const HopSecurityValues& values, HopSecurity& security) {
    security = HopSecurity{};
    const std::string level = LowerAscii(TrimBlanks(values.tls));
    if (level.empty() || level == "none") {
        security.level = TlsLevel::kNone;
    } else if (level == "may") {
        security.level = TlsLevel::kMay;
    } else if (level == "encrypt") {
        security.level = TlsLevel::kEncrypt;
    } else if (level == "verify") {
        security.level = TlsLevel::kVerify;
    } else {
        return NotAllowed("TLS", values.tls, "none, may, encrypt, verify");
    }
    security.caFile = values.caFile;
    security.serverName = TrimBlanks(values.serverName);
    security.certFile = values.certFile;
    security.keyFile = values.keyFile;
    if (!values.keyFile.empty() && values.certFile.empty()) {
        return NotAllowed("TLSKeyFile", values.keyFile, "only with Server\\TLSCertFile");
    }
    security.authUser = values.authUser;
    if (values.authUser.empty()) return "";
    if (!security.Tls()) {
        return NotAllowed("AuthUser", values.authUser,
                          "only with Server\\TLS may, encrypt or verify: the password is never "
                          "sent in clear text");
    }
    if (values.authPasswordFile.empty()) {
        return NotAllowed("AuthPasswordFile", values.authPasswordFile,
                          "the file that holds the password of Server\\AuthUser");
    }
    const std::string problem = ReadSecretFile(values.authPasswordFile, security.authPassword);
    if (!problem.empty()) {
        return NotAllowed("AuthPasswordFile", values.authPasswordFile,
                          "a file only its owner can read, the password on its first line; "
                          "this one: " +
                              problem);
    }
    return "";
}

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        unsigned v = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0U);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out += k <= n ? kDigits[(v >> (18 - 6 * k)) & 63U] : '=';
        }
    }
    return out;
}

std::string AuthPlainLine(const HopSecurity& security) {
    std::string credentials;
    credentials += '\0';
    credentials += security.authUser;
    credentials += '\0';
    credentials += security.authPassword;
    return "AUTH PLAIN " + Base64(credentials);
}

void HopProblems::Failed(const std::string& server, const std::string& cause) {
    auto [at, added] = failing_.try_emplace(server, cause);
    if (!added && at->second == cause) return;
    at->second = cause;
    if (journal_ != nullptr) {
        journal_->LogEvent(
            2, 110,
            EscapeControls("Mail server " + server + " cannot be used as set up (" + cause + ")"));
    }
}

void HopProblems::Worked(const std::string& server) {
    if (failing_.erase(server) == 0) return;
    if (journal_ != nullptr) {
        journal_->LogEvent(4, 110, EscapeControls("Mail server " + server + " works again"));
    }
}

}  // namespace bw
