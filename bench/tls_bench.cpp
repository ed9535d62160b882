// TLS on the hop against a real Postfix: the fast profile into a private
// Postfix that requires STARTTLS before MAIL (smtpd_tls_security_level =
// encrypt), under "TLS" encrypt and verify (the chain against the run's own
// CA, the address 127.0.0.1 against the certificate), beside the same run in
// clear text into a Postfix without TLS. Both Postfix instances discard what
// they take; a run counts when every message was discarded and has its row
// and count. Postfix's own log says how many connections it secured ("TLS
// connection established from"), which is printed with each run.
//
//   build/tls_bench [messages=2000] [rounds=3]
//
// Timed as profile_bench times its Postfix runs: from the filing of the first
// delivered pair to that of the last (bench/support/filing_watch.h).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/support/delivery_runs.h"
#include "bench/support/postfix_server.h"
#include "bench/support/profile_rounds.h"
#include "delivery/profile.h"
#include "tests/support/tls_peer.h"

namespace {

using namespace bw::bench;

constexpr const char* kTlsLine = "TLS connection established from";

Row FastInto(PostfixServer& postfix, int messages, const std::string& name,
             const ServerValues& tls) {
    const std::uint64_t secured = postfix.LogLines(kTlsLine);
    Row r = FastToPostfix(postfix, messages, tls, name);
    r.f.delivered +=
        ", " + std::to_string(postfix.LogLines(kTlsLine) - secured) + " TLS connections";
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const int rounds = std::max(1, argc > 2 ? std::atoi(argv[2]) : 3);
    bw::test::TestCertificates certs;
    PostfixServer clear;
    PostfixServer secured;
    if (!clear.Start()) return 2;
    if (!secured.Start({{"smtpd_tls_security_level", "encrypt"},
                        {"smtpd_tls_cert_file", certs.Path("server.pem")},
                        {"smtpd_tls_key_file", certs.Path("server.key")},
                        {"smtpd_tls_loglevel", "1"}})) {
        return 2;
    }
    std::printf(
        "Postfix (discard) on 127.0.0.1:%d in clear text, on 127.0.0.1:%d with "
        "smtpd_tls_security_level = encrypt; %d messages of %d bytes, fast profile "
        "(MaxSessions %d)\n\n",
        clear.Port(), secured.Port(), messages, kSmallBytes, bw::kFastMaxSessions);
    const ServerValues encrypt{{"TLS", "encrypt"}};
    const ServerValues verify{{"TLS", "verify"}, {"TLSCAFile", certs.Path("ca.pem")}};
    RunTable table({"Ratio to clear text"});
    for (int round = 0; round < rounds; ++round) {
        const Row plain = FastInto(clear, messages, "fast, TLS none", {});
        table.Keep(plain);
        for (const auto& [name, values] :
             {std::pair<const char*, const ServerValues&>{"fast, TLS encrypt", encrypt},
              {"fast, TLS verify", verify}}) {
            Row r = FastInto(secured, messages, name, values);
            r.ratios = {Rate(r.f) / std::max(Rate(plain.f), 1e-9)};
            table.Keep(r);
        }
    }
    table.PrintMedians();
    return table.All() ? 0 : 1;
}
