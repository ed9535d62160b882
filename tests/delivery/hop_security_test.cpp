// The hop secured on the scripted server: STARTTLS, the handshake, EHLO
// again, AUTH PLAIN and LOGIN, and every way it can fail (no STARTTLS, a
// failed handshake, a refused AUTH): the pair waits in the queue with its
// back-off and the cause in its action, or goes to the next server; "may"
// falls back to clear text. Also the settings that set it up.
#include "delivery/hop_security.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/delivery/delivery_fixture.h"
#include "tests/support/temp_dir.h"

namespace bw::test {
namespace {

using Strings = std::vector<std::string>;

constexpr const char* kHopGreeting = "220 mx\r\n";
constexpr const char* kHopOffersTls = "250-mx\r\n250 STARTTLS\r\n";
constexpr const char* kHopReady = "220 ready\r\n";
constexpr const char* kHopBye = "221 bye\r\n";
const Strings kHopTransaction = {"250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 queued\r\n",
                                 kHopBye};
const Strings kHopSentTransaction = {"MAIL FROM: <a@ext.example>", "RCPT TO: <b@corp.example>",
                                     "DATA", "QUIT"};
// "\0user\0secret" and its parts, base64.
constexpr const char* kHopPlain = "AUTH PLAIN AHVzZXIAc2VjcmV0";

Strings HopThen(Strings first, const Strings& rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

struct HopRow {
    const char* label;
    TlsLevel level;
    bool auth;
    std::vector<Strings> scripts;  // one per connection
    int servers;
    const char* where;
    const char* action;  // the row's action after the pair's name ("" = delivered)
    Strings commands;    // what the server heard, over every connection
    const char* left;    // the metrics' reason ("" = not left)
    Strings connections;
};

const HopRow kHopRows[] = {
    {"EncryptThenEhloAgain",
     TlsLevel::kEncrypt,
     false,
     {HopThen({kHopGreeting, kHopOffersTls, kHopReady, kTlsUp, "250 mx\r\n"}, kHopTransaction)},
     1,
     "trash",
     "",
     HopThen({"EHLO gateway.example", "STARTTLS", "EHLO gateway.example"}, kHopSentTransaction),
     "",
     {"127.0.0.1:25:TLSv1.3 TLS_TEST"}},
    {"EncryptWithoutStartTls",
     TlsLevel::kEncrypt,
     false,
     {{kHopGreeting, "250 mx\r\n", kHopBye}},
     1,
     "queue",
     "(TLS: the server offers no STARTTLS)",
     {"EHLO gateway.example", "QUIT"},
     "tls",
     {}},
    {"VerifyFails",
     TlsLevel::kVerify,
     false,
     {{kHopGreeting, kHopOffersTls, kHopReady, "certificate verify failed: hostname mismatch"}},
     1,
     "queue",
     "(TLS: certificate verify failed: hostname mismatch)",
     {"EHLO gateway.example", "STARTTLS"},
     "tls",
     {}},
    {"StartTlsRefused",
     TlsLevel::kEncrypt,
     false,
     {{kHopGreeting, kHopOffersTls, "454 4.7.0 TLS not available\r\n", kHopBye}},
     1,
     "queue",
     "(TLS: STARTTLS: 454 4.7.0 TLS not available)",
     {"EHLO gateway.example", "STARTTLS", "QUIT"},
     "tls",
     {}},
    {"FirstServerWithoutTlsSecondDelivers",
     TlsLevel::kEncrypt,
     false,
     {{kHopGreeting, "250 mx\r\n"},
      HopThen({kHopGreeting, kHopOffersTls, kHopReady, kTlsUp, "250 mx\r\n"}, kHopTransaction)},
     2,
     "trash",
     "",
     HopThen({"EHLO gateway.example", "EHLO gateway.example", "STARTTLS", "EHLO gateway.example"},
             kHopSentTransaction),
     "",
     {"127.0.0.1:25:TLSv1.3 TLS_TEST"}},
    {"MayInClearWithoutStartTls",
     TlsLevel::kMay,
     false,
     {HopThen({kHopGreeting, "250 mx\r\n"}, kHopTransaction)},
     1,
     "trash",
     "",
     HopThen({"EHLO gateway.example"}, kHopSentTransaction),
     "",
     {"127.0.0.1:25:none"}},
    {"MayInClearAfterRefusedStartTls",
     TlsLevel::kMay,
     false,
     {HopThen({kHopGreeting, kHopOffersTls, "454 not now\r\n"}, kHopTransaction)},
     1,
     "trash",
     "",
     HopThen({"EHLO gateway.example", "STARTTLS"}, kHopSentTransaction),
     "",
     {"127.0.0.1:25:none"}},
    {"MayReconnectsInClearAfterFailedHandshake",
     TlsLevel::kMay,
     false,
     {{kHopGreeting, kHopOffersTls, kHopReady, "handshake failed: wrong version number"},
      HopThen({kHopGreeting, kHopOffersTls}, kHopTransaction)},
     1,
     "trash",
     "",
     HopThen({"EHLO gateway.example", "STARTTLS", "EHLO gateway.example"}, kHopSentTransaction),
     "",
     {"127.0.0.1:25:none"}},
    {"AuthPlain",
     TlsLevel::kEncrypt,
     true,
     {HopThen({kHopGreeting, kHopOffersTls, kHopReady, kTlsUp, "250-mx\r\n250 AUTH LOGIN PLAIN\r\n",
               "235 2.7.0 ok\r\n"},
              kHopTransaction)},
     1,
     "trash",
     "",
     HopThen({"EHLO gateway.example", "STARTTLS", "EHLO gateway.example", kHopPlain},
             kHopSentTransaction),
     "",
     {"127.0.0.1:25:TLSv1.3 TLS_TEST"}},
    {"AuthLogin",
     TlsLevel::kVerify,
     true,
     {HopThen({kHopGreeting, kHopOffersTls, kHopReady, kTlsUp, "250-mx\r\n250 AUTH=LOGIN\r\n",
               "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "235 2.7.0 ok\r\n"},
              kHopTransaction)},
     1,
     "trash",
     "",
     HopThen({"EHLO gateway.example", "STARTTLS", "EHLO gateway.example", "AUTH LOGIN",
              "dXNlcg==", "c2VjcmV0"},
             kHopSentTransaction),
     "",
     {"127.0.0.1:25:TLSv1.3 TLS_TEST"}},
    {"AuthRefused",
     TlsLevel::kEncrypt,
     true,
     {{kHopGreeting, kHopOffersTls, kHopReady, kTlsUp, "250-mx\r\n250 AUTH PLAIN\r\n",
       "535 5.7.8 bad credentials\r\n", kHopBye}},
     1,
     "queue",
     "(AUTH: 535 5.7.8 bad credentials)",
     {"EHLO gateway.example", "STARTTLS", "EHLO gateway.example", kHopPlain, "QUIT"},
     "auth",
     {}},
    {"AuthNotOffered",
     TlsLevel::kEncrypt,
     true,
     {{kHopGreeting, kHopOffersTls, kHopReady, kTlsUp, "250 mx\r\n", kHopBye}},
     1,
     "queue",
     "(AUTH: the server offers neither PLAIN nor LOGIN)",
     {"EHLO gateway.example", "STARTTLS", "EHLO gateway.example", "QUIT"},
     "auth",
     {}},
};

class HopSecurityTable : public DeliveryTest, public ::testing::WithParamInterface<HopRow> {
  protected:
    HopSecurityTable() { fake_ = true; }
};

TEST_P(HopSecurityTable, SetsUpTheHopOrKeepsThePairWithTheCause) {
    const HopRow& row = GetParam();
    S().smtpServers = Strings(static_cast<std::size_t>(row.servers), "127.0.0.1");
    S().security.level = row.level;
    if (row.auth) {
        S().security.authUser = "user";
        S().security.authPassword = "secret";
    }
    server_.scripts = row.scripts;
    WritePair("Inbox/", "M1", Envelope("a@ext.example", {"b@corp.example"}), {"X", "hi"});
    Scan();
    StartQueueTimer();
    ASSERT_TRUE(RunUntilOutcomes(1)) << LogText();
    RunFor(2000);
    EXPECT_EQ(WhereIs("Inbox/", "M1"), row.where);
    EXPECT_EQ(server_.commands, row.commands) << LogText();
    ASSERT_EQ(audit_.rows.size(), 1u);
    const std::string action = audit_.rows[0].action;
    if (*row.action == '\0') {
        EXPECT_EQ(action.rfind("900 Delivered M1", 0), 0u) << action;
    } else {
        EXPECT_EQ(action, std::string("490 Peer Delivery DEFERRED M1 ") + row.action);
        // The journal hears of the server and the cause.
        ASSERT_EQ(service_.events.size(), 1u);
        EXPECT_NE(service_.events[0].text.find(std::string(row.action).substr(1)),
                  std::string::npos)
            << service_.events[0].text;
    }
    EXPECT_EQ(meter_.left,
              *row.left == '\0' ? Strings{} : Strings{std::string("Inbox:") + row.left});
    EXPECT_EQ(meter_.connections, row.connections);
    // The credentials never reach the session log.
    EXPECT_EQ(LogText().find("c2VjcmV0"), std::string::npos);
    EXPECT_EQ(LogText().find("AHVzZXIAc2VjcmV0"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Rows, HopSecurityTable, ::testing::ValuesIn(kHopRows),
                         [](const ::testing::TestParamInfo<HopRow>& info) {
                             return info.param.label;
                         });

class HopSecurityTest : public DeliveryTest {
  protected:
    HopSecurityTest() { fake_ = true; }
};

// What a server sends after its "220" to STARTTLS, in clear text, is never
// read as an answer after the handshake: here it offers PIPELINING, which the
// answer to the second EHLO does not; the envelope goes out a command at a
// time. The name checked is TLSServerName where it is set. Many pairs failing
// on one server for one cause: one journal line, and one more when it works.
TEST_F(HopSecurityTest, NothingSentInClearIsReadAfterTheHandshake) {
    UseProfile(Profile::kFast);
    S().maxSessions = 1;
    S().smtpServers = {"127.0.0.1"};
    S().security.level = TlsLevel::kVerify;
    S().security.serverName = "mx.corp.example";
    server_.scripts = {
        HopThen({"220 mx\r\n", "250-mx\r\n250 STARTTLS\r\n",
                 "220 ready\r\n250 injected\r\n250-mx\r\n250 PIPELINING\r\n", kTlsUp, "250 mx\r\n"},
                kHopTransaction)};
    WritePair("Inbox/", "M1", Envelope("a@ext.example", {"b@corp.example"}), {"X", "hi"});
    ASSERT_FALSE(parts_->Start().Failed());
    StartQueueTimer();
    ASSERT_TRUE(RunUntilOutcomes(1)) << LogText();
    EXPECT_EQ(WhereIs("Inbox/", "M1"), "trash");
    EXPECT_EQ(server_.tlsNames, Strings{"mx.corp.example"});
    const std::string log = LogText();
    const std::size_t mail = log.find("*--B->R MAIL FROM");
    ASSERT_NE(mail, std::string::npos) << log;
    EXPECT_EQ(log.compare(log.find("\r\n", mail) + 2, 10, "#1 *--B<-R"), 0) << "pipelined:\n"
                                                                            << log;
    EXPECT_NE(log.find("*** TLS TLSv1.3 TLS_TEST with 127.0.0.1 ***"), std::string::npos);
}

TEST_F(HopSecurityTest, OneJournalLinePerServerAndCause) {
    S().smtpServers = {"127.0.0.1"};
    S().security.level = TlsLevel::kEncrypt;
    server_.scripts = {{kHopGreeting, "250 mx\r\n", kHopBye}};
    for (const char* name : {"M1", "M2", "M3"}) {
        WritePair("Inbox/", name, Envelope("a@ext.example", {"b@corp.example"}), {"X", "hi"});
    }
    Scan();
    ASSERT_TRUE(RunUntilOutcomes(3)) << LogText();
    ASSERT_EQ(service_.events.size(), 1u);
    EXPECT_EQ(service_.events[0].text,
              "Mail server 127.0.0.1:25 cannot be used as set up (TLS: the server offers no "
              "STARTTLS)");
    // Fixed: the next pair goes, and the journal says so once.
    server_.scripts = {
        HopThen({kHopGreeting, kHopOffersTls, kHopReady, kTlsUp, "250 mx\r\n"}, kHopTransaction)};
    WritePair("Inbox/", "M4", Envelope("a@ext.example", {"b@corp.example"}), {"X", "hi"});
    outcomes_.clear();
    StartDelivery("Inbox/", "M4");
    ASSERT_TRUE(RunUntilOutcomes(1)) << LogText();
    ASSERT_EQ(service_.events.size(), 2u);
    EXPECT_EQ(service_.events[1].text, "Mail server 127.0.0.1:25 works again");
}

// The settings: each value that is not allowed names itself and what is; the
// password file must be open to its owner only.
TEST(HopSecuritySettings, RefusesWhatCannotWorkAndReadsThePassword) {
    TempDir dir("bwhop");
    const std::string secret = dir.Path() + "/password";
    std::ofstream(secret) << "s3cret\r\nignored\n";
    HopSecurity s;
    auto apply = [&](HopSecurityValues v) { return ApplyHopSecuritySettings(v, s); };
    EXPECT_EQ(apply({}), "");
    EXPECT_FALSE(s.Tls());
    EXPECT_EQ(apply({.tls = "Verify", .serverName = " mx.corp.example "}), "");
    EXPECT_EQ(s.level, TlsLevel::kVerify);
    EXPECT_EQ(s.serverName, "mx.corp.example");
    EXPECT_EQ(apply({.tls = "yes"}),
              "Setting not allowed: Server\\TLS = \"yes\" (allowed: none, may, encrypt, verify)");
    EXPECT_NE(apply({.authUser = "u", .authPasswordFile = secret}).find("only with Server\\TLS"),
              std::string::npos);
    EXPECT_NE(apply({.tls = "encrypt", .authUser = "u"}).find("AuthPasswordFile = \"\""),
              std::string::npos);
    EXPECT_NE(apply({.tls = "may", .keyFile = "/k"}).find("only with Server\\TLSCertFile"),
              std::string::npos);
    ::chmod(secret.c_str(), 0644);
    const std::string open = apply({.tls = "may", .authUser = "u", .authPasswordFile = secret});
    EXPECT_NE(open.find("open to others (mode 0644"), std::string::npos) << open;
    ::chmod(secret.c_str(), 0600);
    EXPECT_EQ(apply({.tls = "may", .authUser = "u", .authPasswordFile = secret}), "");
    EXPECT_EQ(s.authPassword, "s3cret");
    EXPECT_NE(apply({.tls = "may", .authUser = "u", .authPasswordFile = secret + "x"})
                  .find("No such file"),
              std::string::npos);
}

TEST(HopSecuritySettings, Base64AsRfc4648) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [in, out] : vectors) EXPECT_EQ(Base64(in), out) << in;
    EXPECT_EQ(Base64(std::string("\xff\xfe\x00", 3)), "//4A");
}

}  // namespace
}  // namespace bw::test
