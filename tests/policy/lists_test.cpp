// The IP lock and the sender lists on a real database: stored rows, "LockIP.lst",
// wildcard rows, owners, list files, quoting, and each twin's reconnection.
#include <fcntl.h>
#include <sys/file.h>

#include <filesystem>

#include "tests/policy/policy_fixture.h"

namespace bw::test {
namespace {

TEST_F(PolicyDbTest, LockBySpamWithThresholdAndUnitZero) {
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "S"), 0);
    EXPECT_EQ(One("SELECT CONCAT(netip,'|',numspam,'|',locklevel,'|',lastspam) FROM tbl_lockip"),
              "10.1.2.|1|0|46361.5");
    EXPECT_EQ(store_.CheckLockIP("10.1.2.200", "S"), 0);  // same network, same row
    EXPECT_EQ(Count("tbl_lockip"), 1);
    EXPECT_EQ(One("SELECT CONCAT(numspam,'|',locklevel,'|',lastlocked,'|',lastreject) FROM "
                  "tbl_lockip"),
              "0|1|46361.5|0");
    // Locked by spam but never rejected: the lock time runs from lastreject (0).
    store_.settings.IPLockUnit = 1;
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "VS"), 0);
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "R"), 0);
    store_.settings.IPLockUnit = 0;  // a lock of 0 days never holds: the rejects are cleared
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "VS"), 0);
    EXPECT_EQ(One("SELECT CONCAT(numrejects,'|',locklevel) FROM tbl_lockip"), "0|1");
}

TEST_F(PolicyDbTest, LockAtOnceHoldsForFourUnitsAndExtendsOnQuestions) {
    store_.settings.IPLockUnit = 1;
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "SD"), 0);
    EXPECT_EQ(One("SELECT CONCAT(locklevel,'|',lastreject,'|',lastlocked) FROM tbl_lockip"),
              "3|46361.5|46361.5");
    clock_.SetNow(kT0 + 3.5);
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "VS"), -1);
    EXPECT_EQ(Num("SELECT lastreject FROM tbl_lockip"), kT0 + 3.5);
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "R"), 0);
    clock_.SetNow(kT0 + 3.5 + 4);  // four days after the last reject: released
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3", "VS"), 0);
    EXPECT_EQ(One("SELECT CONCAT(numrejects,'|',locklevel) FROM tbl_lockip"), "0|3");
}

TEST_F(PolicyDbTest, LockQuestionsAndRowsKeyedByFullAddress) {
    // A network without a row: questions answer 0, "R" stores nothing.
    for (const char* code : {"VS", "VG", "VR", "R", "X"}) {
        EXPECT_EQ(store_.CheckLockIP("10.7.7.7", code), 0) << code;
    }
    EXPECT_EQ(Count("tbl_lockip"), 0);
    Sql("INSERT INTO tbl_lockip (netip, numgood, lockdays) VALUES ('10.7.7.7', 50, 9)");
    EXPECT_EQ(store_.CheckLockIP("10.7.7.7", "G"), 0);
    // The new network row took the full-address row's other values.
    EXPECT_EQ(One("SELECT CONCAT(numgood,'|',lockdays) FROM tbl_lockip WHERE netip = '10.7.7.'"),
              "1|9");
    EXPECT_EQ(store_.CheckLockIP("10.7.7.1", "VG"), -1);

    Sql("INSERT INTO tbl_lockip (netip, numgood, numspam, numrejects, lastreject) VALUES "
        "('10.8.8.', 100, 1, 1000, 46361.4)");
    EXPECT_EQ(store_.CheckLockIP("10.8.8.8", "VR"), -1);
    EXPECT_EQ(Num("SELECT lastreject FROM tbl_lockip WHERE netip = '10.8.8.'"), kT0);
    EXPECT_EQ(store_.CheckLockIP("10.8.8.8", "G"), 0);
    EXPECT_EQ(store_.CheckLockIP("10.8.8.8", "VG"), -1);  // 101 good, 1 spam
}

TEST_F(PolicyDbTest, LockListFileRoundTrip) {
    const std::string file = app_ + "LockIP.lst";
    const std::string text =
        "10.1.2.\t3\t4\t39267.5625\t39268.25\t1000\t39269.125\t2\t7\t39270.5\r\n"
        "10.1.3.\t1\r\n";
    WriteFile(file, text);
    store_.LoadLockIP();
    ASSERT_EQ(store_.Policy().lockTable.size(), 3u);
    EXPECT_EQ(store_.Policy().lockTable[2].numspam, 1);
    store_.SaveLockIP();
    const std::string saved = ReadFile(file);
    EXPECT_EQ(saved,
              text.substr(0, text.find("10.1.3.")) + "10.1.3.\t1\t0\t0\t0\t0\t0\t0\t0\t0\r\n");

    // Another process holding the file: the save and the load give up.
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    store_.Policy().lockTable.resize(1);
    store_.SaveLockIP();
    EXPECT_EQ(std::filesystem::file_size(file), saved.size());
    store_.LoadLockIP();
    EXPECT_EQ(store_.Policy().lockTable.size(), 1u);
    ::close(fd);
    store_.LoadLockIP();
    EXPECT_EQ(store_.Policy().lockTable.size(), 3u);

    std::filesystem::remove(file);
    store_.LoadLockIP();
    EXPECT_EQ(store_.Policy().lockTable.size(), 1u);
}

TEST_F(PolicyDbTest, QuotesAndBackslashesAreStoredAndMatchedAsGiven) {
    store_.settings.GreyDelay = 5;
    const std::string from = "o'brien\\x@y.org";
    const std::string to = "it's\\'me@corp.com";
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", from, to, "", 0, 0), 0);
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", from, to, "", 0, 0), 1);
    EXPECT_EQ(test::Query(port_, db_, "SELECT mailfrom, mailto FROM tbl_greylist")[0],
              (test::Row{from, to}));

    store_.AddAllowed(from, "boss'\\@corp.com");
    EXPECT_EQ(Count("tbl_allowed"), 1);
    EXPECT_EQ(store_.IsAllowed(from, "", "boss'\\@corp.com"), -1);
    EXPECT_EQ(store_.IsAllowed("o'brien", "", ""), 0);
    // Four parts, so a network key; the rest of the address stays inside its literal.
    EXPECT_EQ(store_.CheckLockIP("10.1.2.3' OR '1'='1", "G"), 0);
    EXPECT_EQ(One("SELECT CONCAT(COUNT(*),'|',MIN(netip),'|',MIN(numgood)) FROM tbl_lockip"),
              "1|10.1.2.|1");
}

TEST_F(PolicyDbTest, ExactRowsOwnersAndWildcards) {
    Sql("INSERT INTO tbl_allowed (fromaddress, owner) VALUES ('a@x.com', ''), "
        "('b@x.com', 'boss@corp.com'), ('*@partner.net', ''), ('news@*', 'boss@corp.com')");
    Sql("INSERT INTO tbl_disallowed (fromaddress, owner) VALUES ('*spam*', '')");
    const struct {
        const char *from, *retPath, *owner;
        int allowed, denied;
    } cases[] = {
        {"a@x.com", "", "", -1, 0},
        {"", "A@X.COM", "", -1, 0},         // the return path alone
        {"A@x.com", "a@X.com", "", -1, 0},  // equal apart from case
        {"b@x.com", "", "", 0, 0},          // another owner's entry
        {"b@x.com", "", "boss@corp.com", -1, 0},
        {"Joe@PARTNER.net", "", "", -1, 0},  // leading star, any case
        {"x@y.z", "joe@partner.net", "", -1, 0},
        {"news@anywhere.org", "", "", 0, 0},  // owner's wildcard row
        {"news@anywhere.org", "", "boss@corp.com", -1, 0},
        {"bulk@spamhaus.example", "", "", 0, -1},
        {"", "", "", 0, 0},
    };
    for (const auto& c : cases) {
        const std::pair<int, int> got(store_.IsAllowed(c.from, c.retPath, c.owner),
                                      store_.IsDisAllowed(c.from, c.retPath, c.owner));
        EXPECT_EQ(got, std::pair(c.allowed, c.denied))
            << c.from << " / " << c.retPath << " / " << c.owner;
    }
    EXPECT_EQ(store_.AllowCache(), "");  // database matches are not cached
}

TEST_F(PolicyDbTest, AllowTwinReplacesAClosedConnectionDenyTwinReopensIt) {
    Sql("INSERT INTO tbl_allowed (fromaddress) VALUES ('a@x.com')");
    Sql("INSERT INTO tbl_disallowed (fromaddress) VALUES ('a@x.com')");
    ASSERT_EQ(factory_.made.size(), 1u);
    const std::shared_ptr<DbConnection> old = factory_.made.back();
    ErrorState e;
    old->Close(e);
    EXPECT_EQ(store_.IsDisAllowed("a@x.com", ""), -1);
    EXPECT_EQ(factory_.made.size(), 1u) << "the same object";
    EXPECT_EQ(old->State(), DbConnection::kStateOpen);

    old->Close(e);
    // A new connection object; the shared recordset is still bound to the
    // closed one, so the lookup fails and drops the connection for the health
    // check to rebuild both.
    EXPECT_EQ(store_.IsAllowed("a@x.com", ""), 0);
    EXPECT_EQ(factory_.made.size(), 2u) << "a new object";
    EXPECT_FALSE(session_.HasConnection());
}

TEST_F(PolicyDbTest, ListFilesInAccPathThenAppPath) {
    WriteFile((app_ + "TarnIN/") + "Allowed.lst", "first@x.org\r\nacc-only@x.org\r\n");
    WriteFile(app_ + "Allowed.lst", "first@x.org\r\nsecond@x.org\r\n");
    WriteFile(app_ + "DisAllowed.lst", "bad@x.org\r\n");
    EXPECT_EQ(store_.IsAllowed("first@x.org", ""), -1);  // found in AccPath: AppPath not read
    EXPECT_EQ(store_.IsAllowed("acc-only@x.org", ""), -1);
    EXPECT_EQ(store_.IsAllowed("x@y.z", "Second@x.org"), -1);
    EXPECT_EQ(store_.IsAllowed("bad@x.org", ""), 0);
    EXPECT_EQ(store_.IsDisAllowed("bad@x.org", ""), -1);
    EXPECT_EQ(store_.AllowCache(), "FIRST@X.ORG\tACC-ONLY@X.ORG\tSECOND@X.ORG\t");
    EXPECT_EQ(store_.DisAllowCache(), "BAD@X.ORG\t");
}

TEST_F(PolicyDbTest, AddingSkipsWhatIsAlreadyListed) {
    Sql("INSERT INTO tbl_allowed (fromaddress, owner) VALUES ('*@partner.net', '')");
    store_.AddAllowed("new@x.org");
    store_.AddAllowed("NEW@x.org");                   // already there, case ignored by the server
    store_.AddAllowed("joe@partner.net");             // covered by a wildcard row
    store_.AddAllowed("new@x.org", "boss@corp.com");  // the owner-less row already covers it
    store_.AddAllowed("own@x.org", "boss@corp.com");
    EXPECT_EQ(One("SELECT GROUP_CONCAT(CONCAT(fromaddress,'/',owner) ORDER BY id) FROM "
                  "tbl_allowed"),
              "*@partner.net/,new@x.org/,own@x.org/boss@corp.com");
    store_.AddDisAllowed("bad@x.org");
    store_.AddDisAllowed("bad@x.org");
    EXPECT_EQ(Count("tbl_disallowed"), 1);
    EXPECT_EQ(store_.IsDisAllowed("bad@x.org", ""), -1);
}

}  // namespace
}  // namespace bw::test
