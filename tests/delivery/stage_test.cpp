// The stage table of the SMTP session, driven by a scripted fake server on
// the manual clock: for each way a server can answer (or not) at each stage,
// where the pair ends, how many copies of the body the server got, the
// minilog action, the status line and when the session ended (the stage's
// limit), with each change of stage traced. Runs through the queue scan long
// enough to see repeats.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "delivery/back_off.h"
#include "delivery/sent_record.h"
#include "delivery/smtp_reply.h"
#include "delivery/stage_table.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/temp_dir.h"

namespace bw::test {
namespace {

using Strings = std::vector<std::string>;

// Sets or clears the immutable flag of a folder (false when not allowed here).
bool SetImmutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

struct Row {
    const char* label;
    Strings script;  // greeting, HELO, MAIL, RCPT, DATA, body, QUIT
    const char* where;
    const char* action;  // "" = the initial one
    const char* status;  // "" = none
    int endSeconds;      // the session ends after this limit (and within a second of it)
    bool tempFailRefuses = false;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.label;
}

// A server that plays well for `good` steps, then does `then`.
Strings Upto(std::size_t good, Strings then = {}) {
    Strings s{"220 mx\r\n", "250 hi\r\n",     "250 ok\r\n", "250 ok\r\n",
              "354 go\r\n", "250 queued\r\n", "221 bye\r\n"};
    s.resize(good);
    s.insert(s.end(), then.begin(), then.end());
    return s;
}

constexpr const char* kNoResponse = "*** NO RESPONSE from 127.0.0.1 ***";
constexpr const char* kNoOrBad = "*** NO OR BAD RESPONSE from 127.0.0.1 ***";
constexpr const char* kDelivered = "900 Delivered M1 to: 127.0.0.1: 25";
const std::string kHuge = "250-" + std::string(200 * 1024, 'h') + "\r\n250 2.0.0 queued\r\n";

constexpr const char* kBye = "221 bye\r\n";
constexpr const char* kLost = "*** Connection lost *** M1";

// Only a "5" reply refuses; a 421, a "4" reply, silence or a lost connection
// before the answer to the end of data leaves the pair in the queue, and the
// scan of the next 200 s does not try it again (the back-off). After an
// answer that decides, the session says QUIT.
const Row kRows[] = {
    {"Takes", Upto(7), "trash", kDelivered, "", 0},
    {"GreetingRefused", {"554 go away\r\n"}, "queue", kLost, kNoResponse, 0},
    {"GreetingClosing", {"421 4.3.2 too many connections\r\n"}, "queue", kLost, kNoResponse, 0},
    {"NoGreeting", {kSilent}, "queue", kLost, kNoResponse, 10},
    {"HeloRefused", Upto(1, {"550 not you\r\n", kBye}), "bad",
     "590 Peer Delivery ERROR M1 (550 not you)", kNoOrBad, 0},
    {"HeloSilent", Upto(1, {kSilent}), "queue", kLost, kNoOrBad, 90},
    {"HeloClosed", Upto(1, {kClose}), "queue", kLost, kNoOrBad, 0},
    {"HeloTemporary", Upto(1, {"450 4.3.2 busy\r\n", kBye}), "queue",
     "490 Peer Delivery DEFERRED M1 (HELO: 450 4.3.2 busy)", kNoOrBad, 0},
    {"MailFromRefusedMultiLine", Upto(2, {"553-sender rejected\r\n553 see the policy\r\n", kBye}),
     "bad", "590 Peer Delivery ERROR M1 (553-sender rejected 553 see the policy)", kNoResponse, 0},
    // No answer to QUIT: the wait for it is short.
    {"MailFromRefusedQuitUnanswered", Upto(2, {"553 sender rejected\r\n"}), "bad",
     "590 Peer Delivery ERROR M1 (553 sender rejected)", kNoResponse, 5},
    {"MailFromIncompletePositive", Upto(2, {"250 half a line"}), "queue", kLost, kNoResponse, 90},
    {"MailFromNotSmtp", Upto(2, {"hello there\r\n"}), "queue", kLost, kNoResponse, 0},
    {"RcptSilent", Upto(3, {kSilent}), "queue", kLost, kNoResponse, 90},
    {"RcptClosed", Upto(3, {kClose}), "queue", kLost, kNoResponse, 0},
    {"RcptClosing", Upto(3, {"421 4.4.2 closing\r\n", kClose}), "queue",
     "490 Peer Delivery DEFERRED M1 (RCPT TO: 421 4.4.2 closing)", kNoResponse, 0},
    {"RcptClosingRefusesNothingBySetting", Upto(3, {"421 4.4.2 closing\r\n", kClose}), "queue",
     "490 Peer Delivery DEFERRED M1 (RCPT TO: 421 4.4.2 closing)", kNoResponse, 0, true},
    {"RcptGreylisted",
     Upto(3, {"450 4.2.0 greylisted\r\n", "554 5.5.1 no valid recipients\r\n", kBye}), "queue",
     "490 Peer Delivery DEFERRED M1 (RCPT TO: 450 4.2.0 greylisted)", kNoOrBad, 0},
    {"RcptRefusedThenData",
     Upto(3, {"550 5.1.1 no such user\r\n", "554 5.5.1 no valid recipients\r\n", kBye}), "bad",
     "590 Peer Delivery ERROR M1 (RCPT TO: 550 5.1.1 no such user)", kNoOrBad, 0},
    {"DataRefused", Upto(4, {"554 no valid recipients\r\n", kBye}), "bad",
     "590 Peer Delivery ERROR M1 (554 no valid recipients)", kNoOrBad, 0},
    {"DataClosed", Upto(4, {kClose}), "queue", kLost, kNoOrBad, 0},
    {"EndOfDataRefused", Upto(5, {"554 5.7.1 spam\r\n", kBye}), "bad",
     "590 Peer Delivery ERROR M1 (554 5.7.1 spam)", kNoOrBad, 0},
    {"EndOfDataTemporary", Upto(5, {"451 4.3.0 Temporary failure\r\n", kBye}), "queue",
     "490 Peer Delivery DEFERRED M1 (end of data: 451 4.3.0 Temporary failure)", kNoOrBad, 0},
    {"EndOfDataTemporaryRefusesBySetting", Upto(5, {"451 4.3.0 Temporary failure\r\n", kBye}),
     "bad", "590 Peer Delivery ERROR M1 (451 4.3.0 Temporary failure)", kNoOrBad, 0, true},
    {"EndOfDataSilent", Upto(5, {kSilent}), "queue", kLost, kNoOrBad, 90},
    {"EndOfDataClosed", Upto(5, {kClose}), "queue", kLost, kNoOrBad, 0},
    {"EndOfDataHugeReply", Upto(5, {kHuge, "221 bye\r\n"}), "trash", kDelivered, "", 0},
    {"QuitClosed", Upto(6, {kClose}), "trash", kDelivered, "", 0},
    {"Unreachable", {kRefuse}, "queue", kLost, "*** TIMEOUT Connecting 127.0.0.1 ***", 5},
    // A reply flood without a line end is cut at 64 KB and judged at once by
    // its code, so neither the memory nor the session log takes the flood.
    {"GreetingFlood", {"554 " + std::string(1 << 20, 'x')}, "queue", kLost, kNoResponse, 0},
};

class StageTable : public DeliveryTest, public ::testing::WithParamInterface<Row> {
  protected:
    StageTable() { fake_ = true; }
};

TEST_P(StageTable, FilesCopiesAndAuditAsTheRowSays) {
    const Row& row = GetParam();
    S().smtpServers = {"127.0.0.1"};
    S().tempFailRefuses = row.tempFailRefuses;
    S().traceStages = true;
    server_.scripts = {row.script};
    WritePair("Inbox/", "M1", Envelope("alice@ext.example", {"bob@corp.example"}),
              {"X-Queue: 1", "Subject: hi", "", "hello"});
    const std::int64_t start = clock_.MonotonicMs();
    Scan();
    StartQueueTimer();
    ASSERT_TRUE(RunUntilOutcomes(1, 200000, 5)) << LogText();
    const std::int64_t took = clock_.MonotonicMs() - start;
    EXPECT_GE(took, row.endSeconds * 1000);
    EXPECT_LT(took, row.endSeconds * 1000 + 1000);
    EXPECT_LT(LogText().size(), 80u * 1024);
    // Long enough for a pair left in the queue to be sent again, were it not held back.
    RunFor(200000, 50);
    queueTimer_.SetEnabled(false);
    EXPECT_EQ(WhereIs("Inbox/", "M1"), row.where);
    const bool bodySent = row.script.size() > 5 && row.script[5] != kBye;
    EXPECT_EQ(server_.bodies.size(), bodySent ? 1u : 0u);
    EXPECT_EQ(server_.attempts, 1) << "tried again within its back-off";
    ASSERT_EQ(audit_.rows.size(), 1u);
    EXPECT_EQ(audit_.rows[0].action, row.action);
    // QUIT where an answer decided; nothing after a 421 or a broken line.
    const std::string lastCommand = server_.commands.empty() ? "" : server_.commands.back();
    const std::string last = row.script.back();
    const bool quits = std::string(row.where) == "trash" || last == kBye ||
                       row.label == std::string("MailFromRefusedQuitUnanswered");
    EXPECT_EQ(lastCommand == "QUIT", quits) << lastCommand;
    if (row.label == std::string("RcptClosing")) {
        EXPECT_EQ(lastCommand.rfind("RCPT", 0), 0u);
    }
    EXPECT_EQ(audit_.counts["delivered"], std::string(row.where) == "trash" ? 1 : 0);
    // A pair left in the queue says why (the metrics count it), once.
    const std::string action = row.action;
    const std::string left = std::string(row.where) != "queue"         ? ""
                             : action.rfind("490", 0) == 0             ? "Inbox:deferred"
                             : row.label == std::string("Unreachable") ? "Inbox:unreachable"
                                                                       : "Inbox:broken";
    EXPECT_EQ(meter_.left, left.empty() ? Strings{} : Strings{left});
    // The back-off the queue view reads says the same, at its first step.
    ErrorState unreadable;
    const std::vector<BackOffWait> waits = ReadBackOff(root_ + "/state", unreadable);
    if (left.empty()) {
        EXPECT_TRUE(waits.empty());
    } else {
        ASSERT_EQ(waits.size(), 1u);
        EXPECT_EQ("Inbox:" + waits[0].reason, left);
        EXPECT_EQ(waits[0].name, "M1");
        EXPECT_EQ(waits[0].waitMs, 5 * 60 * 1000);
    }
    // Asked for, each change of stage is traced.
    if (std::string(row.where) == "trash") {
        for (const char* line : {"stage kReadEnvelope -> kConnect (envelope read)",
                                 "stage kGreeting -> kHeloReply (greeted)",
                                 "stage kEndOfDataReply -> kQuitReply (message taken)",
                                 "stage kFile -> kDone (filing)"}) {
            EXPECT_NE(LogText().find(std::string("*--*--* ") + line + "\r\n"), std::string::npos);
        }
    }
    if (*row.status != '\0') {
        EXPECT_NE(LogText().find(std::string("*--*--* ") + row.status + "\r\n"), std::string::npos)
            << LogText();
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, StageTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return info.param.label;
                         });

// Several servers, the first refusing connections or accepting without a
// greeting: the second delivers, and no "NO RESPONSE" line is written.
TEST_F(StageTable, FirstServerDeadOrSilentThenTheSecondDelivers) {
    for (const char* first : {kRefuse, kSilent}) {
        SCOPED_TRACE(first);
        server_.scripts = {{first}, Upto(7)};
        server_.attempts = server_.connections = 0;
        S().smtpServers = {"127.0.0.1", "127.0.0.1"};
        WritePair("Inbox/", first, Envelope("a@ext.example", {"b@corp.example"}), {"X", "hi"});
        outcomes_.clear();
        Scan();
        ASSERT_TRUE(RunUntilOutcomes(1));
        EXPECT_EQ(audit_.rows.back().action.rfind("900 Delivered", 0), 0u);
        EXPECT_EQ(LogText().find("NO RESPONSE"), std::string::npos);
        EXPECT_EQ(server_.connections, 1 + (first == kSilent ? 1 : 0));
        Sessions().DestroyFinished();
    }
    EXPECT_NE(LogText().find("*--*--* *** TIMEOUT Connecting 127.0.0.1 ***\r\n"),
              std::string::npos);
}

// Forty servers that accept and never greet: each attempt ends after 10 s, no
// step brings data, so the watchdog counted from the load ends the session in
// the middle of the server list.
TEST_F(StageTable, WatchdogEndsASessionWithoutDataFor300SecondsSinceTheLoad) {
    S().smtpServers = Strings(40, "127.0.0.1");
    server_.scripts = {{kSilent}};
    WritePair("Inbox/", "M1", Envelope("a@ext.example", {"b@corp.example"}), {"X", "hi"});
    const std::int64_t loadedAt = clock_.MonotonicMs();
    Scan();
    ASSERT_TRUE(RunUntilOutcomes(1, 400000, 50));
    const std::int64_t after = clock_.MonotonicMs() - loadedAt;
    EXPECT_GE(after, 300000);
    EXPECT_LT(after, 303000);
    EXPECT_EQ(WhereIs("Inbox/", "M1"), "queue");
    EXPECT_EQ(outcomes_[0].action, "*** Connection lost *** M1");
    EXPECT_EQ(LogText().find("NO RESPONSE"), std::string::npos);
    EXPECT_GE(server_.attempts, 29);
    EXPECT_LE(server_.attempts, 31);
}

// The server took (or refused) the message, but the queue cannot be changed:
// the pair is never sent again, in this run or after a restart; only its
// filing is retried, once a minute with one journal line each, and it is
// counted and audited once.
TEST_F(StageTable, AnsweredPairIsFiledButNeverSentAgain) {
    struct Row {
        const char* label;
        const char* endOfData;  // the server's answer
        const char* where;      // once the queue can be changed again
    };
    std::size_t n = 0;
    for (const Row& row : {Row{"taken, queue folder immutable", "250 queued\r\n", "trash"},
                           Row{"refused, BAD is a file", "554 no\r\n", "bad"}}) {
        SCOPED_TRACE(row.label);
        const std::string name = "P" + std::to_string(++n);
        service_.events.clear();
        const bool taken = std::string(row.where) == "trash";
        ServeFake(row.endOfData);
        WritePair("Inbox/", name, Envelope("a@ext.example", {"b@corp.example"}), {"X", "hi"});
        const std::string inbox = Acc() + "Inbox";
        if (taken && !SetImmutable(inbox, true)) GTEST_SKIP() << "no immutable folders here";
        if (!taken) WriteLines(inbox + "/BAD", {"not a folder"});
        StartQueueTimer();
        RunFor(150000, 50);
        // After a restart the record on disk still holds the pair back.
        Restart();
        RunFor(30000, 50);
        EXPECT_EQ(WhereIs("Inbox/", name), "queue");
        if (taken) SetImmutable(inbox, false);
        if (!taken) std::filesystem::remove(inbox + "/BAD");
        RunFor(61000, 50);
        queueTimer_.SetEnabled(false);
        EXPECT_EQ(WhereIs("Inbox/", name), row.where);
        EXPECT_EQ(server_.bodies.size(), n);
        EXPECT_EQ(Delivered(), 1);  // the first row's delivery, counted once
        EXPECT_EQ(audit_.rows.size(), n);
        int journal = 0;
        for (const auto& e : service_.events) journal += e.text.rfind("Filing ", 0) == 0 ? 1 : 0;
        // At 0, 60 and 120 s; once after the restart; none after the last, which files it.
        EXPECT_EQ(journal, 4);
        EXPECT_EQ(delivery_->sent.SentCount(), 0u);
        EXPECT_EQ(std::filesystem::file_size(root_ + "/state/sent-pairs"), 0u);
    }
}

// The judge on its own, for what the conversations above do not reach: the
// greeting command named as sent, DATA after a mix of recipient answers, a
// 421 under TempFailRefuses, the QUIT that follows an outcome.
TEST(StageJudge, MovesAndWhatTheyName) {
    struct Case {
        const char* label;
        Stage stage;
        const char* reply;
        Strings rcptReplies;  // the answers to RCPT TO before it
        Move move;
        const char* what;  // defer, refuse: the action's text; go on: the next stage
        bool tempFailRefuses = false;
        Move settled = Move::kGoOn;
    };
    const Case cases[] = {
        {"EhloPutOff", Stage::kHeloReply, "450 busy\r\n", {}, Move::kDefer, "EHLO: 450 busy"},
        {"DataPutOffAfterOneTaken",
         Stage::kDataReply,
         "451 later\r\n",
         {"250 ok\r\n", "450 grey\r\n"},
         Move::kDefer,
         "DATA: 451 later"},
        {"DataRefusedAfterOneTaken",
         Stage::kDataReply,
         "554 no\r\n",
         {"250 ok\r\n", "550 unknown\r\n"},
         Move::kRefuse,
         "554 no"},
        {"DataRefusedAfterRefusalAndPutOff",
         Stage::kDataReply,
         "554 no\r\n",
         {"450 grey\r\n", "550 unknown\r\n"},
         Move::kRefuse,
         "RCPT TO: 550 unknown"},
        {"DataGoAhead", Stage::kDataReply, "354 go\r\n", {"250 ok\r\n"}, Move::kGoOn, "kBody"},
        {"EndOfDataClosingDespiteSetting",
         Stage::kEndOfDataReply,
         "421 bye\r\n",
         {},
         Move::kDefer,
         "end of data: 421 bye",
         true},
        {"EndOfDataTaken", Stage::kEndOfDataReply, "250 ok\r\n", {}, Move::kDeliver, "kQuitReply"},
        {"MailGoAhead", Stage::kMailReply, "354 what\r\n", {}, Move::kLeave, ""},
        {"QuitAfterRefusal", Stage::kClosing, "", {}, Move::kGoOn, "kFile", false, Move::kRefuse},
        {"QuitAfterDeferral",
         Stage::kClosing,
         "221 bye\r\n",
         {},
         Move::kLeave,
         "",
         false,
         Move::kDefer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        JudgeFacts facts;
        facts.tempFailRefuses = c.tempFailRefuses;
        facts.greeting = "EHLO";
        facts.recipients = std::max<std::size_t>(c.rcptReplies.size(), 1);
        facts.settled = c.settled;
        for (const std::string& r : c.rcptReplies) {
            ReplyBuffer rcpt;
            rcpt.Append(r);
            facts.rcpts.Take(rcpt);
        }
        ReplyBuffer reply;
        reply.Append(c.reply);
        const Judgement j = Judge(c.stage, reply, facts);
        EXPECT_EQ(j.move, c.move);
        const bool going = c.move == Move::kGoOn || c.move == Move::kDeliver;
        EXPECT_EQ(going ? RowOf(j.next).name : j.said, std::string(c.what));
        // No QUIT to a server that said 421: it is closing.
        if (c.move == Move::kDefer || c.move == Move::kRefuse) {
            EXPECT_EQ(j.quit, std::string(c.reply).rfind("421", 0) != 0);
        }
    }
}

// The fast profile's sent record: a line is written at once and only synced
// with the group, so a crash of the process before the sync loses nothing.
TEST(SentRecordGrouped, LinesOutliveACrashBeforeTheGroupSync) {
    const TempDir dir("bwsent");
    const std::string path = dir.Path() + "/sent-pairs";
    const pid_t child = ::fork();
    if (child == 0) {
        SentRecord record(path, nullptr);
        record.SetGroupedSync(true);
        record.RememberSent({{1, 1, 1, 101}, "P1", false, 0});
        record.RememberSent({{1, 2, 1, 102}, "P2", true, 0});
        record.ForgetSent({1, 1, 1, 101});
        ::_exit(0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    SentRecord back(path, nullptr);
    EXPECT_EQ(back.SentCount(), 1u);
    EXPECT_NE(back.FindSent({1, 2, 1, 102}, "P2"), nullptr);
}

// Reply gathering under the 64 KB cap, fed in chunks of any size: the cut
// reply is judged by its code and first line, its rest is skipped up to its
// last line, and the reply after it comes through untouched, whether replies
// are kept one at a time or not.
TEST(ReplyBuffer, OversizedReplyIsCutSkippedAndTheNextComesThrough) {
    const std::string first = "250-" + std::string(70 * 1024, 'h');
    const std::string longReply = first + "\r\n250-more\r\n250 2.0.0 queued\r\n";
    for (const std::size_t chunk :
         {std::size_t{1}, std::size_t{7}, std::size_t{4096}, std::size_t{200000}}) {
        SCOPED_TRACE(chunk);
        ReplyBuffer r;
        if (chunk == 200000) r.OneReplyAtATime();
        const std::string wire = longReply + "221 bye\r\n";
        std::size_t at = 0;
        for (; at < wire.size() && !r.Cut(); at += chunk) r.Append(wire.substr(at, chunk));
        ASSERT_TRUE(r.Cut());
        EXPECT_TRUE(r.Complete());
        EXPECT_EQ(r.First(), '2');
        EXPECT_EQ(r.Summary(), first.substr(0, ReplyBuffer::kCap));
        EXPECT_EQ(r.Size(), ReplyBuffer::kCap);
        r.Clear();
        for (; at < wire.size(); at += chunk) r.Append(wire.substr(at, chunk));
        EXPECT_EQ(r.Text(), "221 bye\r\n");
    }
}

// Pipelined replies, however the bytes arrive, come out one whole reply per
// Clear(): a multi-line reply stays whole, a reply still arriving is not
// complete, and nothing is lost or taken for the reply before it.
TEST(ReplyBuffer, OneReplyAtATimeHandsOutPipelinedRepliesInOrder) {
    const std::string wire = "250 2.1.0 ok\r\n250-2.1.5 a\r\n250 2.1.5 b\r\n550 no\r\n354 go\r\n";
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{5}, wire.size()}) {
        SCOPED_TRACE(chunk);
        ReplyBuffer r;
        r.OneReplyAtATime();
        for (std::size_t at = 0; at < wire.size(); at += chunk) r.Append(wire.substr(at, chunk));
        std::vector<std::string> replies;
        for (; !r.Empty(); r.Clear()) {
            EXPECT_TRUE(r.Complete());
            replies.push_back(r.OneLine());
        }
        EXPECT_EQ(replies, (std::vector<std::string>{"250 2.1.0 ok", "250-2.1.5 a 250 2.1.5 b",
                                                     "550 no", "354 go"}));
    }
    ReplyBuffer r;
    r.OneReplyAtATime();
    r.Append("250 ok\r\n354 g");
    r.Clear();
    EXPECT_FALSE(r.Complete());
    r.Append("o\r\n");
    EXPECT_EQ(r.Text(), "354 go\r\n");
}

}  // namespace
}  // namespace bw::test
