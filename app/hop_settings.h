// TLS and AUTH on the hop to the mail servers, from section "Server" of the
// settings store, as the start-up and `bwtarnout --init` both read them: the
// values checked (delivery/hop_security.h) and, where TLS is asked for, the
// TLS context made (platform/tls_client.h), so a CA file or key that cannot
// be used is found before the first delivery.
// DIAGNOSTICS: returns "" or the problem, the text the start-up ends with.
#pragma once

#include <memory>
#include <string>

#include "delivery/hop_security.h"
#include "platform/tls_client.h"

namespace bw {

class Settings;

/// Sets `security` and, when it asks for TLS, `tls`; "" or the problem.
std::string SetUpHopSecurity(const Settings& settings, HopSecurity& security,
                             std::unique_ptr<TlsClient>& tls);

}  // namespace bw
