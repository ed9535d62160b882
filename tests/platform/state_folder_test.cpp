// The state folder belongs to one installation: two application folders never
// share one by default, the settings still choose it, and an earlier daemon's
// files are taken over only by the installation that left them.
#include "platform/state_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "tests/support/temp_dir.h"

namespace bw::test {
namespace {

namespace fs = std::filesystem;

TEST(StateFolder, EachApplicationFolderGetsItsOwnName) {
    EXPECT_EQ(InstallationName("/opt/brimwarden/"), "opt-brimwarden");
    EXPECT_EQ(InstallationName("/srv/gw2/v1.5/"), "srv-gw2-v1.5");
    const std::string longA = "/" + std::string(300, 'a') + "/x/";
    const std::string longB = "/" + std::string(300, 'a') + "/y/";
    const char* folders[] = {"/opt/a-b/", "/opt/a/b/", "/opt/a_b/",  "/opt/a b/",
                             "/opt/ab/",  "/",         "/opt/../x/", "/opt/.x/"};
    std::set<std::string> names;
    for (const char* f : folders) {
        const std::string n = InstallationName(f);
        EXPECT_EQ(n.find('/'), std::string::npos) << f;
        EXPECT_NE(n.front(), '.') << f;  // never a hidden name, "." or ".."
        names.insert(n);
    }
    names.insert(InstallationName(longA));
    names.insert(InstallationName(longB));
    EXPECT_EQ(names.size(), std::size(folders) + 2);
    EXPECT_LE(InstallationName(longA).size(), 200u);
}

// The daemon's folder, and the one a command beside it finds: an
// administrator's shell has no STATE_DIRECTORY, so the packaged service's
// folder is recognised by its lock naming the application folder.
TEST(StateFolder, TheSettingsComeBeforeTheInstallationsDefault) {
    ::unsetenv("BW_STATE_DIR");
    ::unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(StateFolderFor("/opt/gw/"), "/var/lib/bwtarnout/opt-gw");
    test::TempDir root("stateroot");
    EXPECT_EQ(FindStateFolder("/opt/gw/", root.Path()), root.Path() + "/opt-gw");
    std::ofstream(root.Path() + "/lock") << "pid 12, application folder /opt/gw2/\n";
    EXPECT_EQ(FindStateFolder("/opt/gw/", root.Path()), root.Path() + "/opt-gw");
    std::ofstream(root.Path() + "/lock") << "pid 12, application folder /opt/gw/\n";
    EXPECT_EQ(FindStateFolder("/opt/gw/", root.Path()), root.Path());
    ::setenv("STATE_DIRECTORY", "/var/lib/unit:/var/lib/other", 1);
    EXPECT_EQ(StateFolderFor("/opt/gw/"), "/var/lib/unit");
    EXPECT_EQ(FindStateFolder("/opt/gw/", root.Path()), "/var/lib/unit");
    ::setenv("BW_STATE_DIR", "/tmp/own", 1);
    EXPECT_EQ(StateFolderFor("/opt/gw/"), "/tmp/own");
    EXPECT_EQ(FindStateFolder("/opt/gw/", root.Path()), "/tmp/own");
    ::unsetenv("BW_STATE_DIR");
    ::unsetenv("STATE_DIRECTORY");
}

class EarlierState : public ::testing::Test {
  protected:
    void Leave(const std::string& holder) {
        std::ofstream(root_ + "/audit.spool") << "spooled rows";
        std::ofstream(root_ + "/sent-pairs") << "+ 1 2 Inbox/x\n";
        if (!holder.empty()) std::ofstream(root_ + "/lock") << holder << "\n";
    }
    std::string Folder(const std::string& app) { return root_ + "/" + InstallationName(app); }

    TempDir dir_{"bwstate"};
    std::string root_ = dir_.Path();
};

TEST_F(EarlierState, IsTakenOverOnlyByTheInstallationThatLeftIt) {
    Leave("pid 41, application folder /opt/other/");
    const std::string mine = Folder("/opt/gw/");
    EXPECT_NE(AdoptEarlierState(mine, "/opt/gw/", root_).find("another installation"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(root_ + "/audit.spool"));

    const std::string theirs = Folder("/opt/other/");
    EXPECT_NE(AdoptEarlierState(theirs, "/opt/other/", root_).find("taken over"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(theirs + "/audit.spool"));
    EXPECT_TRUE(fs::exists(theirs + "/sent-pairs"));
    EXPECT_FALSE(fs::exists(root_ + "/sent-pairs"));
    // Once the folder exists, nothing more is moved or said.
    Leave("pid 42, application folder /opt/other/");
    EXPECT_EQ(AdoptEarlierState(theirs, "/opt/other/", root_), "");
    EXPECT_TRUE(fs::exists(root_ + "/sent-pairs"));
}

TEST_F(EarlierState, IsLeftWhileItsDaemonRunsOrWithoutAnOwner) {
    Leave("");
    const std::string mine = Folder("/opt/gw/");
    EXPECT_NE(AdoptEarlierState(mine, "/opt/gw/", root_).find("lock is missing"),
              std::string::npos);

    Leave("pid 41, application folder /opt/gw/");
    const int held = ::open((root_ + "/lock").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    EXPECT_NE(AdoptEarlierState(mine, "/opt/gw/", root_).find("held by a running daemon"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(mine));
    ::close(held);

    // A folder chosen by the settings is never filled from the old place.
    EXPECT_EQ(AdoptEarlierState(root_ + "/chosen", "/opt/gw/", root_), "");
    EXPECT_TRUE(fs::exists(root_ + "/audit.spool"));
}

}  // namespace
}  // namespace bw::test
