// Greylisting on a real database and the manual clock: every state of a
// triplet, the list file "GreyIP.lst", and the purge with its midnight rule.
#include "platform/day_serial.h"
#include "tests/policy/policy_fixture.h"

namespace bw::test {
namespace {

using GreyTest = PolicyDbTest;

TEST_F(GreyTest, TripletPendingEarlyThenAllowedWithinDelayAndFrame) {
    store_.settings.GreyDelay = 5;
    store_.settings.GreyFrame = 240;
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 0);
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "late@x.org", "b@corp.com", "", 0, 0), 0);
    EXPECT_EQ(One("SELECT CONCAT(netip,'|',ipaddress,'|',allowed,'|',earlycount,'|',rectime) "
                  "FROM tbl_greylist WHERE mailfrom = 'a@x.org'"),
              "10.1.2.|10.1.2.3|0|0|46361.5");
    EXPECT_EQ(audit_.counts["addedgrey"], 2);
    // An early count at its largest value stays there.
    Sql("INSERT INTO tbl_greylist (netip, mailfrom, mailto, rectime, earlycount) VALUES "
        "('10.1.3.', 'edge@x.org', 'b@corp.com', 46361.5, 2147483647)");

    clock_.SetNow(kT0 + 2 * kMinute);  // early retries, one from another host of the network
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.99", "a@x.org", "b@corp.com", "", 0, 0), 1);
    EXPECT_EQ(One("SELECT CONCAT(ipaddress,'|',earlycount,'|',allowed) FROM tbl_greylist "
                  "WHERE mailfrom = 'a@x.org'"),
              "10.1.2.99|1|0");
    EXPECT_EQ(store_.CheckGreyIP("10.1.3.4", "edge@x.org", "b@corp.com", "", 0, 0), 1);
    EXPECT_EQ(One("SELECT CONCAT(earlycount,'|',ipaddress) FROM tbl_greylist WHERE netip = "
                  "'10.1.3.'"),
              "2147483647|10.1.3.4");

    clock_.SetNow(kT0 + 5 * kMinute);  // exactly the delay: not too early
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 3);
    EXPECT_EQ(One("SELECT allowed FROM tbl_greylist WHERE mailfrom = 'a@x.org'"), "-1");
    EXPECT_NEAR(Num("SELECT lastcontact FROM tbl_greylist WHERE mailfrom = 'a@x.org'"),
                kT0 + 5 * kMinute, 1e-9);
    EXPECT_EQ(audit_.counts, (std::map<std::string, int>{
                                 {"addedgrey", 2}, {"allowedgrey", 1}, {"passedgrey", 1}}));

    clock_.SetNow(kT0 + 240 * kMinute);  // exactly the frame: not too late
    EXPECT_EQ(store_.CheckGreyIP("10.1.3.4", "edge@x.org", "b@corp.com", "", 0, 0), 3);
    clock_.SetNow(kT0 + 241 * kMinute);  // past the frame: too late, the row is never replaced
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "late@x.org", "b@corp.com", "", 0, 0), 2);
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "late@x.org", "b@corp.com", "", 0, 0), 2);
    EXPECT_EQ(One("SELECT CONCAT(allowed,'|',earlycount,'|',lastcontact) FROM tbl_greylist "
                  "WHERE mailfrom = 'late@x.org'"),
              "0|0|0");
    EXPECT_EQ(Count("tbl_greylist"), 3);
}

TEST_F(GreyTest, AllowedAtOnceThenExpires) {
    store_.settings.GreyExp = 36;
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", -1, 0), 3);
    EXPECT_EQ(One("SELECT CONCAT(allowed,'|',lastcontact) FROM tbl_greylist"), "-1|46361.5");
    EXPECT_TRUE(audit_.counts.empty());

    clock_.SetNow(kT0 + 35);
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", 0, 0), 3);
    EXPECT_EQ(Num("SELECT lastcontact FROM tbl_greylist"), kT0 + 35);
    EXPECT_EQ(audit_.counts["passedgrey"], 1);

    clock_.SetNow(kT0 + 35 + 36);  // exactly GreyExp days after the last contact
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.3", "a@x.org", "b@corp.com", "", -1, 0), 0);
    EXPECT_EQ(Num("SELECT lastcontact FROM tbl_greylist"), kT0 + 35);
    EXPECT_EQ(audit_.counts["passedgrey"], 1);
    EXPECT_EQ(Count("tbl_greylist"), 1);
}

TEST_F(GreyTest, DeleteAndNetworkQuery) {
    Sql("INSERT INTO tbl_greylist (netip, mailfrom, mailto, allowed) VALUES "
        "('10.1.2.', 'a@x.org', 'b@corp.com', 0), ('10.1.2.', 'a@x.org', 'b@corp.com', -1), "
        "('10.1.2.', 'c@x.org', 'b@corp.com', 0), ('10.9.9.', 'a@x.org', 'b@corp.com', -1)");
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.7", "", "", "VG", 0, 0), -1);
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.7", "a@x.org", "b@corp.com", "D", 0, 0), 0);
    EXPECT_EQ(Count("tbl_greylist", "netip = '10.1.2.'"), 1);
    EXPECT_EQ(store_.CheckGreyIP("10.1.2.7", "", "", "VG", 0, 0), 0);  // only a pending one left
    // Deleting an unknown triplet inserts nothing.
    EXPECT_EQ(store_.CheckGreyIP("10.5.5.5", "n@x.org", "b@corp.com", "D", 0, 0), 0);
    EXPECT_EQ(Count("tbl_greylist"), 2);
    EXPECT_TRUE(audit_.counts.empty());
}

TEST_F(GreyTest, NonQuadsAnswerWithoutTheDatabase) {
    session_.DropConnection();  // a database access would answer 9
    for (const char* ip : {"1.2.3", "1.2.3.4.5", "1.2.34", ""}) {
        EXPECT_EQ(store_.CheckGreyIP(ip, "a@x.org", "b@corp.com", "", 0, 0), 0) << ip;
        EXPECT_EQ(store_.CheckLockIP(ip, "S"), 0) << ip;
    }
    EXPECT_EQ(store_.CheckGreyIP("a.b.c.d", "a@x.org", "b@corp.com", "", 0, 0), 9);
    EXPECT_FALSE(session_.HasConnection());
    EXPECT_EQ(Count("tbl_greylist"), 0);
}

TEST_F(GreyTest, SaveKeepsLiveEntriesLogsDroppedOnesAndCompacts) {
    store_.settings.GreyFrame = 240;
    store_.settings.GreyExp = 36;
    const std::string file = app_ + "GreyIP.lst";
    WriteFile(file,
              "10.1.2.\tkeep@x.org\tb@corp.com\t46361.45\t0\t0\r\n"      // pending, in frame
              "10.1.3.\told@x.org\tb@corp.com\t46361.3\t0\t0\r\n"        // pending, past frame
              "10.1.4.\tfan@x.org\tb@corp.com\t46300\t-1\t46340\r\n"     // allowed, recent
              "10.1.5.\tgone@x.org\tb@corp.com\t46000\t-1\t46325.5\r\n"  // allowed, 36 days
              "\r\n");                                                   // a free slot
    store_.LoadGreyIP();
    ASSERT_EQ(store_.Policy().greyList.size(), 6u);
    store_.SaveGreyIP();
    EXPECT_EQ(ReadFile(file),
              "10.1.2.\tkeep@x.org\tb@corp.com\t46361.45\t0\t0\r\n"
              "10.1.4.\tfan@x.org\tb@corp.com\t46300\t-1\t46340\r\n");
    std::string logged;
    for (const MinilogRow& t : audit_.rows) {
        EXPECT_EQ(t.action, "595 Dropped from DDS");
        EXPECT_EQ(t.when, kT0);
        logged += t.ip + "|" + t.from + "|" + t.to + ",";
    }
    EXPECT_EQ(logged, "10.1.3.|old@x.org|b@corp.com,10.1.5.|gone@x.org|b@corp.com,");
    EXPECT_EQ(store_.Policy().greyList.size(), 6u);  // small lists keep their free slots
    EXPECT_TRUE(store_.Policy().greyList[2].netip.empty());

    // A list of more than 100 slots is rebuilt when more than half are dropped.
    const auto slotsAfterSave = [&](int slots, int dropped) {
        std::string text;
        for (int i = 0; i < slots; ++i) {
            text += "10.2." + std::to_string(i) + ".\ta\tb\t" +
                    (i < dropped ? "46000" : "46361.45") + "\t0\t0\r\n";
        }
        WriteFile(file, text);
        store_.LoadGreyIP();
        store_.SaveGreyIP();
        return store_.Policy().greyList.size();
    };
    EXPECT_EQ(slotsAfterSave(150, 80), 71u);    // 80 > 75: rebuilt from the file
    EXPECT_EQ(slotsAfterSave(100, 100), 101u);  // not more than 100: the free slots stay
}

TEST_F(GreyTest, PurgePhases) {
    store_.settings.GreyExp = 36;
    store_.settings.GreyFrame = 240;
    const double second = 1.0 / 86400;
    auto row = [&](const char* from, int allowed, double rectime, double lastcontact) {
        Sql("INSERT INTO tbl_greylist (netip, mailfrom, mailto, allowed, rectime, lastcontact) "
            "VALUES ('10.1.2.', '" +
            std::string(from) + "', 'b@corp.com', " + std::to_string(allowed) + ", " +
            DaySerialText(rectime) + ", " + DaySerialText(lastcontact) + ")");
    };
    row("expired", -1, kT0 - 100, kT0 - 36 - second);
    row("alive", -1, kT0 - 100, kT0 - 35);
    row("stale", 0, kT0 - 241 * kMinute, 0);
    row("waiting", 0, kT0 - 239 * kMinute, 0);
    row("allowed-old-rectime", -1, kT0 - 1000 * kMinute, kT0 - 1);
    store_.PurgeDB();
    EXPECT_EQ(One("SELECT GROUP_CONCAT(mailfrom ORDER BY id) FROM tbl_greylist"),
              "alive,waiting,allowed-old-rectime");
    EXPECT_TRUE(audit_.rows.empty());

    // Phase 1 leaves pending rows alone however old their last contact is.
    store_.settings.GreyFrame = 32767;
    row("pending-in-long-frame", 0, kT0 - 20, kT0 - 100);
    clock_.SetNow(kT0 + kMinute);
    store_.PurgeDB();
    EXPECT_EQ(Count("tbl_greylist", "mailfrom = 'pending-in-long-frame'"), 1);
}

TEST_F(GreyTest, PurgeRunsAtMostOnceAMinuteAcrossMidnight) {
    store_.settings.GreyFrame = 1;
    const double day = 46361;
    const struct {
        const char* label;
        double now;
        bool runs;
    } steps[] = {
        {"00:00:30, first call in the first minute", day + 30.0 / 86400, false},
        {"00:01:00", day + 60.0 / 86400, true},
        {"00:01:30", day + 90.0 / 86400, false},
        {"23:59:50", day + 86390.0 / 86400, true},
        {"00:00:20 next day", day + 1 + 20.0 / 86400, false},
        {"00:00:55 next day", day + 1 + 55.0 / 86400, true},
    };
    for (const auto& s : steps) {
        Sql("INSERT INTO tbl_greylist (netip, mailfrom, mailto, allowed, rectime) VALUES "
            "('10.1.2.', 'a', 'b', 0, 1)");
        clock_.SetNow(s.now);
        store_.PurgeDB();
        EXPECT_EQ(Count("tbl_greylist"), s.runs ? 0 : 1) << s.label;
        Sql("DELETE FROM tbl_greylist");
    }
}

}  // namespace
}  // namespace bw::test
