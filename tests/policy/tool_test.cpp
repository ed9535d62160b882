// The administrator's command against a real database, and the store when
// its server goes away.
#include <sys/wait.h>

#include <cstdio>
#include <tuple>

#include "tests/policy/policy_fixture.h"

namespace bw::test {
namespace {

struct ToolRun {
    int status;
    std::string out, err;  // err: the first line of standard error
};

ToolRun RunTool(const std::string& args, const std::string& registry) {
    const std::string errFile = registry + ".stderr";
    const std::string cmd = "BW_REGISTRY='" + registry + "' " + std::string(BW_BINARY_DIR) +
                            "/bwpolicy " + args + " 2>'" + errFile + "'";
    ToolRun r{-1, "", ""};
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) r.out += buf;
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = ReadFile(errFile);
    r.err = r.err.substr(0, r.err.find('\n'));
    return r;
}

TEST_F(PolicyDbTest, BwpolicyRunsOneMemberPerCall) {
    const std::string app = "--app-path " + tmp_.Path() + " --tarn-id 7E57 ";
    const std::string noRegistry = tmp_.Path() + "/none.reg";
    const struct {
        std::string args;
        int status;
        std::string out;
    } steps[] = {
        {"grey 10.1.2.3 \"o'brien@x.org\" b@corp.com", 0, "0\n"},
        {"grey 10.1.2.3 \"o'brien@x.org\" b@corp.com --grey-frame 240", 0, "3\n"},
        {"grey 10.1.2.77 x y --type VG", 0, "-1\n"},
        {"grey 10.9.9.9 a@x b@y --allowed", 0, "3\n"},
        {"grey 10.9.9.9 a@x b@y --type D", 0, "0\n"},
        {"lockip 10.1.2.3 SD", 0, "0\n"},
        {"lockip 10.1.2.200 VS --iplock-unit 1", 0, "-1\n"},
        {"add-allowed '*@partner.net'", 0, "done\n"},
        {"allowed x@y.z joe@partner.net", 0, "-1\n"},
        {"allowed joe@partner.net --owner boss@corp.com", 0, "-1\n"},
        {"disallowed joe@partner.net", 0, "0\n"},
        {"purge --grey-exp 36", 0, "done\n"},
        {"load-grey", 0, "0 entries\n"},
        // Bad arguments: a clear error and status 2, nothing run.
        {"grey 10.1.2.3 onlyfrom", 2, ""},
        {"grey 1.2.3.4 a b --grey-delay 99999", 2, ""},
        {"grey 1.2.3.4 a b --type X", 2, ""},
        {"allowed a@b --bogus 1", 2, ""},
    };
    for (const auto& s : steps) {
        const ToolRun r = RunTool(app + s.args, noRegistry);
        EXPECT_EQ(std::pair(r.status, r.out), std::pair(s.status, s.out)) << s.args;
    }
    // Without a registered application folder, a bad command line is still
    // reported as such; a good one fails on the folder.
    const struct {
        std::string args, err;
    } unregistered[] = {
        {"frobnicate", "bwpolicy: unknown command 'frobnicate'"},
        {"lockip 10.1.2.3", "bwpolicy: wrong number of arguments for 'lockip'"},
        {"grey 1.2.3.4 a b --grey-frame 4x",
         "bwpolicy: option --grey-frame needs a whole number from -32768 to 32767, not '4x'"},
        {"grey 1.2.3.4 a b --iplock-unit 32768",
         "bwpolicy: option --iplock-unit needs a whole number from -32768 to 32767, not '32768'"},
        {"purge --type D", "bwpolicy: --type belongs to 'grey'"},
        {"--app-path '' purge", "bwpolicy: option --app-path needs a folder"},
        {"--app-path " + tmp_.Path() + "/missing purge",
         "bwpolicy: the application folder " + tmp_.Path() + "/missing/ does not exist"},
        {"grey 1.2.3.4 a b",
         "bwpolicy: no application folder registered in " + noRegistry + ": give --app-path DIR"},
        // Values longer than their column: refused, never "done".
        {"add-allowed " + std::string(300, 'a'),
         "bwpolicy: the address is 300 characters long; tbl_allowed.fromaddress holds at most 255"},
        {"--owner " + std::string(256, 'o') + " add-disallowed x@y",
         "bwpolicy: --owner is 256 characters long; the owner column holds at most 255"},
        {"lockip 1.2." + std::string(70, '3') + ".4 S",
         "bwpolicy: its network is 75 characters long; tbl_lockip.netip holds at most 64"},
    };
    for (const auto& u : unregistered) {
        const ToolRun r = RunTool(u.args, noRegistry);
        // One line: the reason and where to read more, not the whole usage.
        EXPECT_EQ(std::tuple(r.status, r.err, r.out),
                  std::tuple(2, u.err + "; see 'bwpolicy --help'", ""))
            << u.args;
    }
    // Without options the folder and the identifier come from the settings store.
    const std::string reg = tmp_.Path() + "/registry.reg";
    WriteFile(reg,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\General]\r\n\"AppPath\"=\"" +
                  tmp_.Path() +
                  "/\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\TarnIN]\r\n\"TarnID\"=\"7E57\"\r\n");
    EXPECT_EQ(RunTool("grey 10.4.4.4 a@x b@y --allowed", reg).out, "3\n");
    EXPECT_EQ(RunTool("grey 10.4.4.4 a@x b@y --grey-exp 1", reg).out, "3\n");
    EXPECT_EQ(One("SELECT CONCAT(mailfrom,'|',allowed) FROM tbl_greylist"), "o'brien@x.org|-1");
    EXPECT_EQ(One("SELECT locklevel FROM tbl_lockip WHERE netip = '10.1.2.'"), "3");
    // One of them counted through the stored TarnID.
    EXPECT_EQ(One("SELECT CONCAT(allowedgrey,'|',passedgrey) FROM tbl_stats"), "1|2");
    EXPECT_EQ(Count("tbl_allowed"), 1);
}

// --- the server goes away ------------------------------------------------------

class PolicyOutageTest : public PolicyDbTest {
  protected:
    bool UsesSharedServer() const override { return false; }
};

TEST_F(PolicyOutageTest, ServerDownGivesDocumentedResultsAndWritesNothing) {
    test::PrivateMariaDb server;
    ASSERT_TRUE(server.Start());
    Attach(server.Port());
    WriteFile(app_ + "Allowed.lst", "listed@x.org\r\n");
    WriteFile(app_ + "DisAllowed.lst", "listed@x.org\r\n");
    store_.settings.GreyFrame = 1;
    ASSERT_EQ(store_.CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 0);
    ASSERT_EQ(store_.IsAllowed("listed@x.org", ""), -1);
    server.Stop();

    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 9);
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "", "", "VG", 0, 0), 9);
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "S"), 0);
    EXPECT_EQ(store_.IsDisAllowed("listed@x.org", ""), 0);  // list files need the database
    EXPECT_EQ(store_.IsAllowed("listed@x.org", ""), 0);
    store_.AddAllowed("new@x.org");
    store_.AddDisAllowed("new@x.org");
    clock_.SetNow(kT0 + 1);
    store_.PurgeDB();
    session_.DropConnection();  // dropped, as the health check finds it
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 9);
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "G"), 0);

    ASSERT_TRUE(server.Start());
    EXPECT_EQ(Count("tbl_greylist"), 1);
    EXPECT_EQ(Count("tbl_lockip"), 0);
    EXPECT_EQ(Count("tbl_allowed") + Count("tbl_disallowed"), 0);
    EXPECT_TRUE(audit_.rows.empty());
}

}  // namespace
}  // namespace bw::test
