#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "app/daemon_metrics.h"
#include "db/connect_string.h"
#include "db/db_session.h"
#include "delivery/delivery.h"
#include "host/ini.h"
#include "host/lang.h"
#include "host/settings.h"
#include "platform/checksum.h"
#include "policy/policy_rules.h"
#include "policy/policy_store.h"
#include "tests/app/daemon_fixture.h"
#include "tests/support/fake_audit.h"
#include "tests/support/fake_service.h"
#include "tests/support/peer_connection.h"
#include "tests/support/temp_dir.h"

namespace bw {
namespace {

namespace fs = std::filesystem;
using test::DaemonTest;

class StartupTest : public DaemonTest {
  protected:
    void SetUp() override {
        Put(appDir_ + "lang/English.lng", "");
        Put(appDir_ + "TarnIN/AccInfo.ini", "[Server]\r\nSMTP=mx\r\n");  // an empty list is said
        Store("General", "AppPath", appDir_);
    }
    /// The event log holds entries beginning with these texts, in order.
    void ExpectEvents(const std::vector<std::string>& said) {
        ASSERT_EQ(service_.events.size(), said.size());
        for (std::size_t i = 0; i < said.size(); ++i) {
            EXPECT_EQ(service_.events[i].text.rfind(said[i], 0), 0u) << service_.events[i].text;
        }
    }
};

TEST_F(StartupTest, EmptyApplicationFolderGetsTheReceivingComponentsTree) {
    Store("General", "UseTrash", "0");
    Store("Server", "SMTPLog", "-1");
    Store("TarnIN", "Peer2", "peer:25");
    Put(appDir_ + "TarnIN/AccInfo.ini", "[Server]\r\nSMTP=mx1,,:2525, mx:99999 ,mx:-5x,\r\n");
    // Every line of the forwarded list, upper case: empty ones and blanks kept,
    // CR LF, CR and LF end a line.
    Put(appDir_ + "Forwarded.lst", "Example.COM\r\n\r\n sub.Example.org \rc.net\nd.org");

    char text[64];  // the identifier: the checksum of the day serial, in hex
    std::snprintf(text, sizeof text, "%.15g", clock_.Now());
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", Crc32(text));
    ASSERT_TRUE(Start());
    const Installation& g = inst_;
    const DeliverySettings& d = daemon_->DeliveryPart()->settings;
    for (const char* sub : {"Logs", "TarnIN", "TarnIN/Hold", "TarnIN/Inbox", "TarnIN/Delete",
                            "TarnIN/Trash", "TarnIN/OutQueue", "TarnIN/SCHK", "TarnIN/SEML",
                            "TarnIN/Fetch", "TarnIN/TempIN", "TarnIN/Outbox"}) {
        EXPECT_TRUE(fs::is_directory(appDir_ + sub)) << sub;
    }
    EXPECT_EQ(g.AppPath, appDir_);
    EXPECT_EQ(g.AccPath, appDir_ + "TarnIN/");
    EXPECT_EQ(g.TarnID, hex);
    EXPECT_EQ(Stored("TarnIN", "TarnID"), g.TarnID);
    EXPECT_EQ(g.versionText, "3.00.0440");
    EXPECT_FALSE(d.useTrash);
    EXPECT_TRUE(d.sessionLog);
    EXPECT_EQ(d.peer2, "peer:25");
    EXPECT_EQ(d.forwardedList, g.forwardedList);
    EXPECT_EQ(d.smtpServers,
              (std::vector<std::string>{"mx1", "", ":2525", " mx:99999 ", "mx:-5x", ""}));
    EXPECT_EQ(g.forwardedList, "\tEXAMPLE.COM\t\t SUB.EXAMPLE.ORG \tC.NET\tD.ORG\t");
    EXPECT_FALSE(ForwardedListHolds(g.forwardedList, "example"));
    EXPECT_EQ(service_.startServing, 1);
    // Every server entry that is never connected to is said at start.
    ExpectEvents({"Mail server entry 2 \"\" of", "Mail server entry 3 \":2525\"",
                  "Mail server entry 4 \" mx:99999 \"", "Mail server entry 5 \"mx:-5x\"",
                  "Mail server entry 6 \"\"",
                  "The Outbox peer (setting TarnIN/Peer2) \"peer:25\""});
    EXPECT_TRUE(desktop_.iconShown);
    EXPECT_EQ(desktop_.iconTip.size(), 64u);
    EXPECT_EQ(desktop_.iconTip.rfind("Brimwarden TarnIN 3.00.0440 ", 0), 0u);
    EXPECT_TRUE(daemon_->QueueTimer()->Enabled());
    EXPECT_EQ(daemon_->QueueTimer()->Interval(), 5000);
    EXPECT_TRUE(daemon_->DBCheckTimer()->Enabled());
    EXPECT_EQ(daemon_->DBCheckTimer()->Interval(), 1000);
}

TEST_F(StartupTest, DefaultsWithNothingStored) {
    machine_.doc = RegDocument{};
    Put(exeDir_ + "/lang/English.lng", "");
    ASSERT_TRUE(Start());
    // The program's own folder becomes the registered application folder.
    EXPECT_EQ(inst_.AppPath, exeDir_ + "/");
    EXPECT_EQ(Stored("General", "AppPath"), exeDir_ + "/");
    const DeliverySettings& d = daemon_->DeliveryPart()->settings;
    EXPECT_TRUE(d.useTrash);
    EXPECT_FALSE(d.sessionLog);
    EXPECT_EQ(d.peer2, "");
    EXPECT_TRUE(d.smtpServers.empty());
    ExpectEvents({"No mail server in TarnIN/AccInfo.ini"});
    EXPECT_EQ(inst_.forwardedList, "\t");
    EXPECT_EQ(inst_.uiLanguage, "English");
    EXPECT_EQ(inst_.langFile, "English.lng");

    // A later start keeps the identifier; a registered folder without its
    // trailing slash gets one.
    const std::string id = inst_.TarnID;
    clock_.Advance(60000);
    Restart();
    Store("General", "AppPath", appDir_.substr(0, appDir_.size() - 1));
    ASSERT_TRUE(Start());
    EXPECT_EQ(inst_.AppPath, appDir_);
    EXPECT_EQ(inst_.TarnID, id);
    EXPECT_EQ(Stored("TarnIN", "TarnID"), id);
}

// The command line and a flag file beside the executable choose the store
// ("-install" and "-remove" themselves: the daemon test).
TEST_F(StartupTest, CommandLineAndFlagFile) {
    struct Case {
        const char* line;
        bool flagFile;  // "HKCU.flg"
        bool userHive;
    };
    const Case cases[] = {
        {"-install --HKCU", false, true}, {"-INSTALL", false, false}, {"--hkcu", false, true},
        {"x --HkCu y", false, true},      {"", false, false},         {"", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Restart();
        service_ = FakeService{};
        machine_ = MemorySettingsStore{};
        Store("General", "AppPath", appDir_);
        // The per-user store must know the application folder too.
        user_ = MemorySettingsStore{};
        user_.doc.Set("HKEY_CURRENT_USER\\Software\\Brimwarden\\General", "AppPath",
                      RegText(1, appDir_));
        fs::remove(exeDir_ + "/HKCU.flg");
        if (c.flagFile) Put(exeDir_ + "/HKCU.flg", "");
        EXPECT_TRUE(Start(c.line));
        EXPECT_EQ(service_.installs + service_.removes, 0);
        EXPECT_EQ(inst_.useUserHive, c.userHive);
        EXPECT_TRUE(service_.events.empty());
        // The identifier goes to the chosen store only.
        EXPECT_EQ(Stored("TarnIN", "TarnID") == "<missing>", c.userHive);
        EXPECT_EQ(
            user_.doc.Find("HKEY_CURRENT_USER\\Software\\Brimwarden\\TarnIN", "TarnID") != nullptr,
            c.userHive);
    }
}

// Every fatal start-up error: one event-log entry (type 4, id 110), its own
// exit status, and nothing served. A lock that cannot be taken is never a run
// unguarded.
TEST_F(StartupTest, FatalErrorsEndWithTheirStatus) {
    const std::string lockFailure =
        "cannot take the single-instance lock /run/x/BWTarnOUT.lock: Permission denied";
    int busyPort = 0;  // a metrics address another program listens on
    const int busy = test::ListenOnLoopback(busyPort);
    ASSERT_GE(busy, 0);
    const std::string busyAddress = "127.0.0.1:" + std::to_string(busyPort);
    struct Row {
        const char* label;
        std::function<void()> spoil;
        int status;
        std::string said;
    };
    const Row rows[] = {
        {"lock cannot be taken", [&] { lock_.failReason = lockFailure; }, kExitLock, lockFailure},
        {"store cannot be written",
         [&] {
             machine_.doc = RegDocument{};
             machine_.failWrites = SettingsStore::Result::kOpenFailed;
         },
         kExitSettings,
         "Registry Problem: Failed to set registry value Key: '-2147483646',Section: "
         "'Software\\Brimwarden\\General',Key: 'AppPath' to value: '" +
             exeDir_ + "/'"},
        {"no language folder", [&] { fs::remove_all(appDir_ + "lang"); }, kExitAppPath,
         "AppPath Problem!!"},
        {"no language chosen", [&] { Store("General", "UILanguage", "Klingon"); }, kExitLanguage,
         "No language chosen: " + appDir_ + "lang/Klingon.lng is missing"},
        {"account folder unusable",
         [&] {
             fs::remove_all(appDir_ + "TarnIN");
             fs::create_directory_symlink(root_ + "/nowhere/TarnIN", appDir_ + "TarnIN");
         },
         kExitFolders, "Unable to create Folder Structure!!"},
        {"profile unknown", [&] { Store("Server", "Profile", "turbo"); }, kExitConfig,
         "Setting not allowed: Server\\Profile = \"turbo\" (allowed: classic, fast)"},
        {"session count not a number", [&] { Store("Server", "MaxSessions", "0x10"); }, kExitConfig,
         "Setting not allowed: Server\\MaxSessions = \"0x10\" (allowed: a whole number from 1 "
         "to 200)"},
        {"messages per connection out of range",
         [&] { Store("Server", "MessagesPerConnection", "0"); }, kExitConfig,
         "Setting not allowed: Server\\MessagesPerConnection = \"0\" (allowed: a whole number "
         "from 1 to 10000)"},
        {"password file open to others",
         [&] {
             Store("Server", "TLS", "encrypt");
             Store("Server", "AuthUser", "relay");
             Store("Server", "AuthPasswordFile", root_ + "/password");
             test::WriteFile(root_ + "/password", "secret\n");
             ::chmod((root_ + "/password").c_str(), 0644);
         },
         kExitConfig,
         "Setting not allowed: Server\\AuthPasswordFile = \"" + root_ +
             "/password\" (allowed: a file only its owner can read, the password on its first "
             "line; this one: open to others (mode 0644; allowed: 0600 or 0400))"},
        {"metrics address not allowed", [&] { Store("Server", "MetricsListen", "127.0.0.1:0"); },
         kExitConfig,
         "Setting not allowed: Server\\MetricsListen = \"127.0.0.1:0\" (the port is not a number "
         "from 1 to 65535; allowed: host:port, e.g. 127.0.0.1:9187)"},
        {"metrics address in use", [&] { Store("Server", "MetricsListen", busyAddress); },
         kExitFailure, "Metrics endpoint not started: " + busyAddress + ": Address already in use"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        Restart();
        fs::remove_all(appDir_);
        machine_ = MemorySettingsStore{};
        lock_ = FakeInstanceLock{};
        service_ = FakeService{};
        SetUp();
        row.spoil();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Start());
        EXPECT_EQ(testing::internal::GetCapturedStderr().find(
                      "settings store: simulated write failure") != std::string::npos,
                  row.status == kExitSettings);
        EXPECT_EQ(process_.lastExitCode, row.status);
        ASSERT_FALSE(service_.events.empty());  // warnings may come before
        EXPECT_EQ(service_.events.back().text, row.said);
        EXPECT_EQ(service_.events.back().type, 4);
        EXPECT_EQ(service_.events.back().id, 110);
        EXPECT_EQ(service_.startServing, 0);
        if (row.status == kExitLanguage) {
            EXPECT_EQ(Stored("General", "UILanguage"), "Klingon");
        }
    }
    ::close(busy);
}

TEST_F(StartupTest, LanguageFolderIsAwaited25SecondsWithTheTimersRunning) {
    fs::remove_all(appDir_ + "lang");
    int otherTicks = 0;
    Timer probe(loop_, 1000, true, [&] { ++otherTicks; });
    std::int64_t t0 = clock_.MonotonicMs();
    EXPECT_FALSE(Start());
    const std::int64_t waited = clock_.MonotonicMs() - t0;
    EXPECT_GE(waited, 25000);
    EXPECT_LE(waited, 26000);
    EXPECT_GE(otherTicks, 24);  // the timers ran inside the wait

    // A folder appearing during the wait lets the start go on.
    Restart();
    service_.events.clear();
    Timer later(loop_, 10000, true, [&] { Put(appDir_ + "lang/English.lng", ""); });
    t0 = clock_.MonotonicMs();
    EXPECT_TRUE(Start());
    EXPECT_LT(clock_.MonotonicMs() - t0, 12000);
    EXPECT_TRUE(service_.events.empty());
}

TEST_F(StartupTest, MissingLanguageFileOffersTheLanguageFiles) {
    fs::remove(appDir_ + "lang/English.lng");
    Put(appDir_ + "lang/German.lng", "");
    Put(appDir_ + "lang/French.LNG", "");
    Put(appDir_ + "lang/readme.txt", "");
    desktop_.languageChoice = "German";
    ASSERT_TRUE(Start());
    EXPECT_EQ(desktop_.offeredLanguages, (std::vector<std::string>{"French", "German"}));
    EXPECT_EQ(inst_.uiLanguage, "German");
    EXPECT_EQ(inst_.langFile, "German.lng");
    EXPECT_EQ(Stored("General", "UILanguage"), "German");

    // A stored name that differs from the file's only in case needs no choice.
    Restart();
    Store("General", "UILanguage", "french");
    desktop_.offeredLanguages.clear();
    ASSERT_TRUE(Start());
    EXPECT_TRUE(desktop_.offeredLanguages.empty());
    EXPECT_EQ(inst_.uiLanguage, "french");
}

// The older account file "AccountInfo.txt" (name, address) becomes
// "AccInfo.ini". When that cannot be written (a folder or a link of that
// name), the older file is all there is of the account data, so it stays for
// the next start. A link is never written through, nor replaced; the new file
// never goes through a fixed temporary name that may be a link.
TEST_F(StartupTest, AccountDataMigration) {
    const std::string acc = appDir_ + "TarnIN/";
    const auto ini = [&](const char* text) {
        return [&, text] { Put(acc + "AccInfo.ini", text); };
    };
    const auto link = [&](const char* name) {
        return [&, name] { fs::create_symlink(root_ + "/outside", acc + name); };
    };
    struct Case {
        const char* label;
        std::function<void()> before;
        const char* txt;
        const char* expectedIni;  // nullptr: not written, and said
        bool txtRemains;
    };
    const Case cases[] = {
        {"two lines", [] {}, "Ann Smith\r\nann@example.com\r\n",
         "[User]\r\nEmail=ann@example.com\r\nFullName=Ann Smith\r\n", false},
        {"one line stored under both keys", ini("[Server]\r\nSMTP=mx\r\n"), "only@example.com",
         "[Server]\r\nSMTP=mx\r\n\r\n[User]\r\nEmail=only@example.com\r\n"
         "FullName=only@example.com\r\n",
         false},
        {"email present: untouched", ini("[User]\r\nEmail=x@y\r\n"), "A\r\nB\r\n",
         "[User]\r\nEmail=x@y\r\n", true},
        {"empty file: both keys empty", [] {}, "", "[User]\r\nEmail=\r\nFullName=\r\n", false},
        {"folder", [&] { fs::create_directories(acc + "AccInfo.ini"); }, "Ann\r\nann@x.org\r\n",
         nullptr, true},
        {"link", link("AccInfo.ini"), "Ann\r\nann@x.org\r\n", nullptr, true},
        {"link at the old temporary name", link("AccInfo.ini.tmp"), "Ann\r\nann@x.org\r\n",
         "[User]\r\nEmail=ann@x.org\r\nFullName=Ann\r\n", false},
    };
    Put(root_ + "/outside", "secret\r\n");
    inst_.AppPath = appDir_;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(acc);
        fs::create_directories(acc);
        c.before();
        Put(acc + "AccountInfo.txt", c.txt);
        service_.events.clear();
        EXPECT_EQ(CheckAccountStruct(inst_, *files_), -1);
        EXPECT_EQ(fs::exists(acc + "AccountInfo.txt"), c.txtRemains);
        EXPECT_EQ(Get(root_ + "/outside"), "secret\r\n");
        if (c.expectedIni != nullptr) {
            EXPECT_EQ(Get(acc + "AccInfo.ini"), c.expectedIni);
        } else {
            EXPECT_EQ(
                service_.events.empty() ? "" : service_.events[0].text.substr(0, acc.size() + 13),
                acc + "AccInfo.ini: ");
        }
        for (const auto& e : fs::directory_iterator(acc)) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(name.rfind("AccInfo.ini.", 0) != 0 || name == "AccInfo.ini.tmp")
                << name;  // no temporary file left behind
        }
    }
}

// Settings and list files that are no regular file (a pipe without a writer,
// a device, a folder) or, below the account folder, a link: each reads as
// unreadable at once, and the event log names it, once. The list files of the
// database and policy parts go through the same checks, with the reader the
// start-up hands them.
TEST_F(StartupTest, BadSettingsAndListFiles) {
    const std::string acc = appDir_ + "TarnIN/";
    fs::create_directories(acc);
    Put(root_ + "/outside.ini", "[Server]\r\nSMTP=mx\r\n");
    inst_.AppPath = appDir_;
    inst_.AccPath = acc;
    const auto fifo = [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0) << p; };
    const auto folder = [](const std::string& p) { fs::create_directories(p); };
    const auto link = [&](const std::string& p) { fs::create_symlink(root_ + "/outside.ini", p); };
    const auto device = [](const std::string& p) { fs::create_symlink("/dev/null", p); };
    const auto smtp = [&] { return ReadINI(*files_, acc + "AccInfo.ini", "Server", "SMTP"); };
    const ConnectStrings strings{exeDir_, appDir_, &*files_};
    DbSession session;
    test::FakeAudit audit;
    PolicyStore shared(session, clock_, audit, *files_, {appDir_, acc});
    std::string cache;
    const auto list = [&](const std::string& file) {
        return std::to_string(SearchListFile(*files_, acc + file, "me@x.org", "", cache));
    };
    struct Row {
        const char* label;
        std::string path;
        std::function<void(const std::string&)> make;
        std::function<std::string()> read;  // what the reader gives ("" or "0": nothing)
    };
    const Row rows[] = {
        {"AccInfo.ini pipe", acc + "AccInfo.ini", fifo, smtp},
        {"AccInfo.ini folder", acc + "AccInfo.ini", folder, smtp},
        {"AccInfo.ini link", acc + "AccInfo.ini", link, smtp},
        {"Forwarded.lst pipe", appDir_ + "Forwarded.lst", fifo,
         [&] {
             LoadForwardedList(inst_, *files_);
             return inst_.forwardedList == "\t" ? "" : inst_.forwardedList;
         }},
        {"language file pipe", appDir_ + "lang/English.lng", fifo,
         [&] {
             return LangText(*files_, appDir_ + "lang/English.lng",
                             "There are tranfers running! Quit anyways?");
         }},
        {"DBConnect.dat pipe", appDir_ + "DBConnect.dat", fifo,
         [&] { return strings.GetDBConnect(""); }},
        {"DBConnect1.dat device", appDir_ + "DBConnect1.dat", device,
         [&] { return strings.GetDBConnect("1"); }},
        {"Allowed.lst pipe", acc + "Allowed.lst", fifo, [&] { return list("Allowed.lst"); }},
        {"alias file pipe", root_ + "/alias.lst", fifo,
         [&] {
             Put(acc + "DisAllowed.lst", "ALIAS:" + root_ + "/alias.lst\r\n");
             return list("DisAllowed.lst");
         }},
        {"LockIP.lst pipe", appDir_ + "LockIP.lst", fifo,
         [&] {
             shared.LoadLockIP();
             shared.SaveLockIP();
             return std::to_string(shared.Policy().lockTable.size() - 1);
         }},
        {"GreyIP.lst pipe", appDir_ + "GreyIP.lst", fifo,
         [&] {
             shared.LoadGreyIP();
             shared.SaveGreyIP();
             return std::to_string(shared.Policy().greyList.size() - 1);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        fs::remove_all(row.path);
        row.make(row.path);
        service_.events.clear();
        const std::string first = row.read();
        EXPECT_TRUE(first.empty() || first == "0") << first;
        EXPECT_EQ(
            service_.events.empty() ? "" : service_.events[0].text.substr(0, row.path.size() + 2),
            row.path + ": ");
        row.read();  // named once
        EXPECT_EQ(service_.events.size(), 1u);
        fs::remove_all(row.path);
    }

    // Binary junk and a line of a megabyte are only text.
    using namespace std::string_literals;
    Put(acc + "AccInfo.ini",
        "\0\xff[Server]\r\n"s + std::string(1 << 20, 'x') + "\r\n[Server]\r\nSMTP=mx\0b\r\n"s);
    EXPECT_EQ(smtp(), "mx\0b"s);
}

TEST(StartupHelpersTest, NumericSettingsAndVersion) {
    struct Case {
        const char* text;
        bool fits;
        std::int16_t value;
    };
    const Case cases[] = {{"-1", true, -1},    {"0", true, 0},         {"abc", true, 0},
                          {"12abc", true, 12}, {"  7", true, 7},       {"2.5", true, 2},
                          {"3.5", true, 4},    {"32767", true, 32767}, {"99999", false, 0},
                          {"", true, 0}};
    for (const auto& c : cases) {
        std::int16_t v = 99;
        EXPECT_EQ(TextToInt16(c.text, v), c.fits) << c.text;
        EXPECT_EQ(v, c.fits ? c.value : 99) << c.text;
    }
    EXPECT_EQ(VersionText(12, 34, 5), "12.34.0005");
}

TEST(StartupHelpersTest, MetricsListenValues) {
    for (const char* ok : {"", "127.0.0.1:9187", "0.0.0.0:65535", "[::1]:1", "localhost:9187",
                           "metrics-1.corp.example:80"}) {
        EXPECT_EQ(MetricsListenProblem(ok), "") << ok;
    }
    for (const char* bad :
         {"9187", "127.0.0.1", "127.0.0.1:", ":9187", "127.0.0.1:65536", "127.0.0.1:+80",
          "127.0.0.1:80s", "::1:9187", "[::1]9187", "[::1:9187", "[1.2.3.4]:80", "999.1.1.1:80",
          "a b:80", "127.0.0.1:80,127.0.0.1:81", "http://127.0.0.1:80"}) {
        const std::string problem = MetricsListenProblem(bad);
        EXPECT_EQ(
            problem.rfind(
                "Setting not allowed: Server\\MetricsListen = \"" + std::string(bad) + "\" (", 0),
            0u)
            << problem;
    }
}

}  // namespace
}  // namespace bw
