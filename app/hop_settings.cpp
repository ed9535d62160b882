#include "app/hop_settings.h"

#include "host/settings.h"

namespace bw {

std::string SetUpHopSecurity(const Settings& settings, HopSecurity& security,
                             std::unique_ptr<TlsClient>& tls) {
    const auto value = [&settings](const char* name) {
        return settings.GetSettingX(kAppName, "Server", name, "");
    };
    const std::string problem = ApplyHopSecuritySettings(
        {value("TLS"), value("TLSCAFile"), value("TLSServerName"), value("TLSCertFile"),
         value("TLSKeyFile"), value("AuthUser"), value("AuthPasswordFile")},
        security);
    if (!problem.empty() || !security.Tls()) return problem;
    std::string unusable;
    tls = TlsClient::Make(
        {security.level == TlsLevel::kVerify, security.caFile, security.certFile, security.keyFile},
        unusable);
    return tls ? "" : "TLS cannot be set up: " + unusable;
}

}  // namespace bw
