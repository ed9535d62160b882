// The hop secured for real: OpenSSL against a TLS-capable server on
// 127.0.0.1 (aiosmtpd requiring STARTTLS before MAIL and TLS before AUTH),
// with certificates made for the run. Delivered under each level; the chain
// or name that does not verify, the server without STARTTLS and the refused
// AUTH keep the pair in the queue with the cause in its action; a server that
// sends more after its "220" to STARTTLS is not heard after the handshake.
// Also the TLS context's own refusals at start.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "delivery/hop_security.h"
#include "platform/tls_client.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/installation.h"
#include "tests/support/metrics_scrape.h"
#include "tests/support/tls_peer.h"

namespace bw::test {
namespace {

using Strings = std::vector<std::string>;

class TlsTest : public DeliveryTest {
  protected:
    static void SetUpTestSuite() { certs_ = std::make_unique<TestCertificates>(); }
    static void TearDownTestSuite() { certs_.reset(); }

    // One pair to `peer` with the hop set up as `security` says: its action.
    std::string DeliverOne(const TlsPeer& peer, HopSecurity security, const std::string& name) {
        S().smtpServers = {"127.0.0.1:" + std::to_string(peer.Port())};
        S().security = security;
        std::string problem;
        client_ = TlsClient::Make({security.level == TlsLevel::kVerify, certs_->Path("ca.pem"),
                                   security.certFile, security.keyFile},
                                  problem);
        EXPECT_EQ(problem, "");
        delivery_->ctx.tls = client_.get();
        WritePair("Inbox/", name, Envelope("a@ext.example", {"b@corp.example"}), {"X", "hi"});
        outcomes_.clear();
        StartDelivery("Inbox/", name);
        EXPECT_TRUE(RunUntilOutcomes(1, 60000, 1)) << LogText();
        Sessions().DestroyFinished();
        return audit_.rows.empty() ? "" : audit_.rows.back().action;
    }
    static HopSecurity Level(TlsLevel level) {
        HopSecurity s;
        s.level = level;
        return s;
    }

    static std::unique_ptr<TestCertificates> certs_;
    std::unique_ptr<TlsClient> client_;
};

std::unique_ptr<TestCertificates> TlsTest::certs_;

TEST_F(TlsTest, DeliveredUnderEachLevelWithTls) {
    TlsPeer peer(*certs_, {});
    HopSecurity named = Level(TlsLevel::kVerify);
    named.serverName = "localhost";  // the certificate names both
    const std::pair<const char*, HopSecurity> levels[] = {{"may", Level(TlsLevel::kMay)},
                                                          {"encrypt", Level(TlsLevel::kEncrypt)},
                                                          {"verify", Level(TlsLevel::kVerify)},
                                                          {"named", named}};
    for (const auto& [label, security] : levels) {
        SCOPED_TRACE(label);
        EXPECT_EQ(DeliverOne(peer, security, label).rfind("900 Delivered", 0), 0u) << LogText();
    }
    const Strings taken = peer.Taken();
    ASSERT_EQ(taken.size(), 4u);
    for (const std::string& line : taken) {
        EXPECT_EQ(line, "tls=TLSv1.3 auth=none cert=none from=a@ext.example");
    }
    EXPECT_NE(LogText().find("*** TLS TLSv1.3 "), std::string::npos);
    EXPECT_EQ(meter_.connections.size(), 4u);
    for (const std::string& c : meter_.connections)
        EXPECT_NE(c.find(":TLSv1.3 TLS_"), std::string::npos);
}

// Each certificate that must not pass under "verify" is named in the action,
// and the pair waits with its back-off; "encrypt" takes them all.
TEST_F(TlsTest, CertificatesThatDoNotVerifyDeferWithTheCause) {
    const std::pair<const char*, const char*> rejected[] = {
        {"other", "certificate verify failed: hostname mismatch"},
        {"expired", "certificate verify failed: certificate has expired"},
        {"unknown", "certificate verify failed: unable to get local issuer certificate"}};
    for (const auto& [cert, cause] : rejected) {
        SCOPED_TRACE(cert);
        TlsPeer peer(*certs_, {.cert = cert});
        HopSecurity verify = Level(TlsLevel::kVerify);
        verify.serverName = "localhost";
        EXPECT_EQ(DeliverOne(peer, verify, cert),
                  std::string("490 Peer Delivery DEFERRED ") + cert + " (TLS: " + cause + ")");
        EXPECT_EQ(WhereIs("Inbox/", cert), "queue");
        const std::string second = std::string(cert) + "2";
        EXPECT_EQ(DeliverOne(peer, Level(TlsLevel::kEncrypt), second).rfind("900 Delivered", 0),
                  0u);
        EXPECT_EQ(peer.Taken().size(), 1u);
    }
    EXPECT_EQ(meter_.left, Strings(3, "Inbox:tls"));
}

// A server that offers no STARTTLS gets nothing under "encrypt"; "may"
// sends in clear text.
TEST_F(TlsTest, NoStartTlsOfferedDefersUnlessTlsIsOnlyWanted) {
    TlsPeer peer(*certs_, {.startTls = false});
    EXPECT_EQ(DeliverOne(peer, Level(TlsLevel::kEncrypt), "M1"),
              "490 Peer Delivery DEFERRED M1 (TLS: the server offers no STARTTLS)");
    EXPECT_EQ(DeliverOne(peer, Level(TlsLevel::kMay), "M2").rfind("900 Delivered", 0), 0u);
    EXPECT_EQ(peer.Taken(), Strings{"tls=none auth=none cert=none from=a@ext.example"});
    EXPECT_NE(LogText().find("*** No TLS with 127.0.0.1 ***"), std::string::npos);
}

// AUTH over TLS: taken with the right password, deferred with the server's
// answer with a wrong one; the client certificate is presented.
TEST_F(TlsTest, AuthAcceptedAndRefused) {
    TlsPeer peer(*certs_, {.user = "relay", .password = "right"});
    HopSecurity auth = Level(TlsLevel::kVerify);
    auth.authUser = "relay";
    auth.authPassword = "right";
    auth.certFile = certs_->Path("client.pem");
    auth.keyFile = certs_->Path("client.key");
    EXPECT_EQ(DeliverOne(peer, auth, "M1").rfind("900 Delivered", 0), 0u) << LogText();
    auth.authPassword = "wrong";
    EXPECT_EQ(DeliverOne(peer, auth, "M2"),
              "490 Peer Delivery DEFERRED M2 (AUTH: 535 5.7.8 Authentication credentials "
              "invalid)");
    EXPECT_EQ(peer.Taken(), Strings{"tls=TLSv1.3 auth=relay cert=client from=a@ext.example"});
    EXPECT_EQ(LogText().find("cmlnaHQ"), std::string::npos);  // "right" in base64
}

// The fast profile (one reply at a time, pipelining): the lines a server
// adds after "220 Ready to start TLS" offer PIPELINING; were they read, MAIL
// would go out before the server's answer to EHLO and be refused.
TEST_F(TlsTest, ClearTextAfterTheStartTlsReplyIsNotHeard) {
    UseProfile(Profile::kFast);
    TlsPeer peer(*certs_, {.smuggle = true});
    EXPECT_EQ(DeliverOne(peer, Level(TlsLevel::kEncrypt), "M1").rfind("900 Delivered", 0), 0u)
        << LogText();
    EXPECT_EQ(peer.Taken().size(), 1u);
}

// The daemon itself, set up from its settings: the chain and the address
// checked, AUTH with the password from its file, the client certificate; the
// metrics count the connection by its TLS version and cipher.
TEST(TlsDaemon, DeliversOverVerifiedTlsWithAuth) {
    TestCertificates certs;
    TlsPeer peer(certs, {.user = "relay", .password = "right"});
    TempDir secrets("bwsecret");
    const std::string password = secrets.Path() + "/password";
    WriteFile(password, "right\n");
    ::chmod(password.c_str(), 0600);
    const int metricsPort = FreeLoopbackPort();
    Installation inst(
        peer.Port(),
        {.serverValues = {{"Profile", "fast"},
                          {"MaxSessions", "1"},
                          {"TLS", "verify"},
                          {"TLSCAFile", certs.Path("ca.pem")},
                          {"TLSCertFile", certs.Path("client.pem")},
                          {"TLSKeyFile", certs.Path("client.key")},
                          {"AuthUser", "relay"},
                          {"AuthPasswordFile", password},
                          {"MetricsListen", "127.0.0.1:" + std::to_string(metricsPort)}}});
    inst.Queue("Inbox/", "in1", Envelope("alice@ext.example", {"bob@corp.example"}));
    inst.Queue("Inbox/", "in2", Envelope("carol@ext.example", {"bob@corp.example"}));
    inst.Start();
    ASSERT_TRUE(inst.WaitQueueEmpty(60)) << inst.DaemonLog() << inst.SessionLog();
    const std::string m = HttpGet(metricsPort);
    inst.Terminate();
    EXPECT_EQ(peer.Taken(), (Strings{"tls=TLSv1.3 auth=relay cert=client from=alice@ext.example",
                                     "tls=TLSv1.3 auth=relay cert=client from=carol@ext.example"}));
    const std::string server = "127.0.0.1:" + std::to_string(peer.Port());
    EXPECT_EQ(
        MetricSample(m, "bwtarnout_connections_total{server=\"" + server + "\",tls=\"TLSv1.3\"}"),
        "1")
        << m;
    EXPECT_NE(inst.SessionLog().find("*** TLS TLSv1.3 "), std::string::npos);
    EXPECT_EQ(inst.SessionLog().find("cmlnaHQ"), std::string::npos);
}

TEST(TlsClientContext, RefusesFilesItCannotUse) {
    TestCertificates certs;
    std::string problem;
    EXPECT_NE(TlsClient::Make({true, certs.Path("ca.pem"), "", ""}, problem), nullptr);
    EXPECT_EQ(TlsClient::Make({true, certs.Path("missing.pem"), "", ""}, problem), nullptr);
    EXPECT_EQ(problem.rfind("TLSCAFile " + certs.Path("missing.pem") + " cannot be used: ", 0), 0u)
        << problem;
    EXPECT_EQ(
        TlsClient::Make({false, "", certs.Path("client.pem"), certs.Path("server.key")}, problem),
        nullptr);
    EXPECT_EQ(problem.rfind("TLSKeyFile " + certs.Path("server.key"), 0), 0u) << problem;
    EXPECT_NE(
        TlsClient::Make({false, "", certs.Path("client.pem"), certs.Path("client.key")}, problem),
        nullptr);
}

}  // namespace
}  // namespace bw::test
