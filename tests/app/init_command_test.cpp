// `bwtarnout --init`, the real program on a test installation: what a new
// installation gets (TarnID, folders, the tbl_stats row), the second run
// that finds everything there, and what it says is missing (a mail server
// that does not answer and a TLS setting not allowed among it).
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/installation.h"
#include "tests/support/smtp_peer.h"
#include "tests/support/temp_dir.h"

namespace bw {
namespace {

namespace fs = std::filesystem;

TEST(InitCommand, LaysOutAnInstallationAndSaysWhatIsMissing) {
    test::SmtpPeer server;
    server.Start();
    test::Installation inst(server.Port());
    const std::string registry = inst.Acc() + "../../registry.reg";
    const std::string before = test::ReadFile(registry);
    // A store without TarnID, a database without the installation's row.
    test::WriteFile(registry, before.substr(0, before.find("[HKEY_LOCAL_MACHINE\\Software\\"
                                                           "Brimwarden\\TarnIN]")));
    inst.Exec("DELETE FROM tbl_stats");

    std::string out, err;
    ASSERT_EQ(inst.RunCommand({"--init"}, out, err), 0) << out << err;
    const std::string after = test::ReadFile(registry);
    const auto at = after.find("\"TarnID\"=\"");
    ASSERT_NE(at, std::string::npos) << after;
    const std::string id = after.substr(at + 10, after.find('"', at + 10) - at - 10);
    EXPECT_NE(out.find("  TarnIN/TarnID = " + id + " (made now)\n"), std::string::npos) << out;
    EXPECT_NE(out.find(": made TarnIN/Hold/ TarnIN/Delete/ TarnIN/Trash/ TarnIN/OutQueue/ "
                       "TarnIN/SCHK/ TarnIN/SEML/ TarnIN/Fetch/ TarnIN/TempIN/\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(fs::is_directory(inst.Acc() + "TempIN"));
    EXPECT_NE(out.find("Database: the tbl_stats row of " + id + " made\n"), std::string::npos);
    EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM tbl_stats WHERE tarnid = '" + id + "'"), "1");
    EXPECT_NE(out.find("Mail server 127.0.0.1:" + std::to_string(server.Port()) + ": 220 "),
              std::string::npos)
        << out;
    EXPECT_TRUE(out.ends_with("Nothing is missing\n"));

    // Again: everything is there, nothing changes.
    ASSERT_EQ(inst.RunCommand({"--init"}, out, err), 0) << out << err;
    EXPECT_NE(out.find("  TarnIN/TarnID = " + id + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find(": all there\n"), std::string::npos);
    EXPECT_NE(out.find("Database: the tbl_stats row of " + id + " is there\n"), std::string::npos);
    EXPECT_EQ(test::ReadFile(registry), after);
    EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM tbl_stats"), "1");

    // What it cannot make: the language file, the mail servers, the database.
    fs::remove(inst.Acc() + "../lang/English.lng");
    test::WriteFile(inst.Acc() + "AccInfo.ini", "[Server]\r\nSMTP=,127.0.0.1:1\r\n");
    const std::string section = "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\Server]\r\n";
    std::string spoiled = test::ReadFile(registry);
    spoiled.insert(spoiled.find(section) + section.size(), "\"TLS\"=\"sometimes\"\r\n");
    test::WriteFile(registry, spoiled);
    test::WriteFile(inst.Acc() + "../DBConnect.dat", test::ConnString(1, "none") + "\r\n");
    EXPECT_EQ(inst.RunCommand({"--init"}, out, err), 1);
    EXPECT_NE(out.find("Database: not reached\nMissing:\n  "), std::string::npos) << out;
    EXPECT_NE(out.find("lang/English.lng: the language file of General/UILanguage\n"),
              std::string::npos);
    EXPECT_NE(out.find("  the mail server 127.0.0.1:1 (cannot connect: Connection refused)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  Setting not allowed: Server\\TLS = \"sometimes\" (allowed: none, may, "
                       "encrypt, verify)\n"),
              std::string::npos);
    EXPECT_NE(out.find("  the database ("), std::string::npos);

    EXPECT_EQ(inst.RunCommand({"--init", "--queue"}, out, err), 2);
    EXPECT_EQ(err,
              "bwtarnout: options '--init' and '--queue' do not go together; see "
              "'bwtarnout --help'\n");
}

}  // namespace
}  // namespace bw
