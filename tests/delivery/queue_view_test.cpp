// The queue view (`bwtarnout --queue`): the table and the JSON made of a list
// of pairs in each state, the envelope read without a lock whatever the file
// holds, and the real program listing a real installation with the last
// actions from its database, while the daemon runs and while the database is
// away.
#include "delivery/queue_view.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "delivery/envelope.h"
#include "tests/support/installation.h"
#include "tests/support/temp_dir.h"

namespace bw {
namespace {

namespace fs = std::filesystem;

QueueViewEntry Entry(const std::string& folder, const std::string& name, double age,
                     std::int64_t bytes, QueueEnvelope env,
                     std::optional<std::string> last = std::nullopt) {
    QueueViewEntry e;
    e.pair.folder = folder;
    e.pair.name = name;
    e.pair.ageSeconds = age;
    e.pair.bytes = bytes;
    e.envelope = std::move(env);
    e.lastAction = std::move(last);
    return e;
}

QueueEnvelope Readable(const std::string& sender, std::vector<std::string> rcpts,
                       const std::string& problem = "") {
    return QueueEnvelope{true, false, problem, sender, std::move(rcpts)};
}

// One pair in each folder: a plain one with its last action that waits for
// its back-off and is being sent, one with a null sender and bytes a terminal
// or a JSON reader must not take raw, one whose envelope cannot be read, and
// one with more recipients than the table lists.
QueueView FourStates() {
    QueueView v;
    v.lastActionsKnown = true;
    v.nowSeconds = 1796472000;  // 2026-12-05 12:00:00 UTC
    v.entries.push_back(Entry("Inbox", "in1", 302.7, 1234,
                              Readable("alice@ext.example", {"bob@corp.example"}),
                              "490 Peer Delivery DEFERRED in1 (RCPT TO: 451 later)"));
    v.entries.back().beingSent = true;
    v.entries.back().next = QueueNextAttempt{1796472298, 10 * 60000, "deferred"};
    v.entries.push_back(Entry("Outbox", "out\"1", 3700, 2048,
                              Readable("", {"x\x1b[31m@ext.example\xE9", "y\\@\xC2\x9B.example"},
                                       "no \"@\" in address")));
    v.entries.push_back(Entry("Inbox/BAD", "bad1", 90061, 10,
                              QueueEnvelope{false, false, "bad1.msg is a symbolic link", "", {}}));
    std::vector<std::string> many;
    for (int i = 1; i <= 11; ++i) many.push_back("r" + std::to_string(i) + "@corp.example");
    v.entries.push_back(Entry("Outbox/BAD", "bad2", 5, 20, Readable("\xC3\xA9@ext.example", many)));
    return v;
}

class QueueViewText : public ::testing::Test {
  protected:
    // The next attempt is shown in local time: UTC here.
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        if (tz != nullptr) tz_ = tz;
        hadTz_ = tz != nullptr;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (hadTz_) {
            ::setenv("TZ", tz_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    std::string tz_;
    bool hadTz_ = false;
};

TEST_F(QueueViewText, TableShowsEachStateEscapedAndSumsUp) {
    const std::string text = FormatQueueText(FourStates());
    EXPECT_EQ(text.substr(0, text.find("\n\n") + 2),
              "Inbox/in1  age 5m02s  1234 bytes  (being sent now)\n"
              "  from: alice@ext.example\n"
              "  to:   bob@corp.example\n"
              "  next: 2026-12-05 12:04:58, in 4m58s (back-off 10 min: the server put it off)\n"
              "  last: 490 Peer Delivery DEFERRED in1 (RCPT TO: 451 later)\n\n");
    EXPECT_NE(text.find("Outbox/out\"1  age 1h01m  2048 bytes\n  from: <>\n"
                        "  to:   x\\x1B[31m@ext.example\\xE9\n  to:   y\\@\\xC2\\x9B.example\n"
                        "  note: no \"@\" in address\n  last: (none in the recent minilog)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Inbox/BAD/bad1  age 1d01h  10 bytes\n  from: (unreadable: bad1.msg is "
                        "a symbolic link)\n"),
              std::string::npos);
    EXPECT_NE(text.find("  from: \xC3\xA9@ext.example\n"), std::string::npos);  // UTF-8 stays
    EXPECT_NE(text.find("  to:   r10@corp.example\n  to:   ... and 1 more\n"), std::string::npos);
    EXPECT_EQ(text.find("r11@"), std::string::npos);
    EXPECT_TRUE(
        text.ends_with("\n-- 4 pairs, 4 KB: 1 in Inbox, 1 in Outbox, 1 in Inbox/BAD, 1 in "
                       "Outbox/BAD; 1 being sent, 1 unreadable\n"))
        << text;

    // Its wait over, or a flush asked for: the next pass.
    QueueView due = FourStates();
    due.nowSeconds += 600;
    due.entries.pop_back();
    due.entries.push_back(Entry("Outbox/Hold", "held", 5, 20, Readable("a@b.example", {"c@d"})));
    const std::string dueText = FormatQueueText(due);
    EXPECT_NE(dueText.find("  next: at the next pass (its wait ended 2026-12-05 12:04:58; "
                           "back-off 10 min: the server put it off)\n"),
              std::string::npos)
        << dueText;
    EXPECT_TRUE(dueText.ends_with(
        ": 1 in Inbox, 1 in Outbox, 1 in Inbox/BAD, 0 in Outbox/BAD, 0 in Inbox/Hold, 1 in "
        "Outbox/Hold; 1 being sent, 1 unreadable\n"))
        << dueText;
    due.flushAsked = true;
    EXPECT_NE(FormatQueueText(due).find("  next: at the next pass (flush asked for; back-off "),
              std::string::npos);

    QueueView unknown = FourStates();
    unknown.lastActionsKnown = false;
    EXPECT_EQ(FormatQueueText(unknown).find("last:"), std::string::npos);
    EXPECT_EQ(FormatQueueText(QueueView{}), "Queue is empty\n");
    EXPECT_EQ(SizeText(1023), "1023 bytes");
    EXPECT_EQ(SizeText(1025), "2 KB");
}

// JSON lines: every line an object of its own, the summary last.
TEST(QueueView, JsonLinesEscapeEveryByteAndCountPerFolder) {
    const std::string json = FormatQueueJson(FourStates());
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < json.size();) {
        const std::size_t end = json.find('\n', i);
        ASSERT_NE(end, std::string::npos) << "the last line has no line end";
        lines.push_back(json.substr(i, end - i));
        i = end + 1;
    }
    ASSERT_EQ(lines.size(), 5u) << json;
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.starts_with("{") && line.ends_with("}")) << line;
    }
    EXPECT_EQ(lines[0],
              "{\"folder\": \"Inbox\", \"name\": \"in1\", \"age_seconds\": 302, \"bytes\": 1234, "
              "\"being_sent\": true, \"unreadable\": null, \"sender\": \"alice@ext.example\", "
              "\"recipients\": [\"bob@corp.example\"], \"envelope_problem\": null, "
              "\"next_attempt\": {\"at\": 1796472298, \"in_seconds\": 298, \"back_off_minutes\": "
              "10, \"reason\": \"deferred\"}, \"last_action\": \"490 Peer Delivery DEFERRED in1 "
              "(RCPT TO: 451 later)\"}");
    // A control character, a byte that is no UTF-8 (read as Latin-1), a C1
    // control in UTF-8, a backslash and a quote.
    EXPECT_NE(lines[1].find("\"name\": \"out\\\"1\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"recipients\": [\"x\\u001B[31m@ext.example\\u00E9\", "
                            "\"y\\\\@\\u009B.example\"], \"envelope_problem\": \"no \\\"@\\\" in "
                            "address\", \"next_attempt\": null, \"last_action\": null}"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("\"unreadable\": \"bad1.msg is a symbolic link\", \"sender\": null, "
                            "\"recipients\": [], \"envelope_problem\": \"unreadable: bad1.msg is a "
                            "symbolic link\""),
              std::string::npos)
        << lines[2];
    EXPECT_NE(lines[3].find("\"sender\": \"\xC3\xA9@ext.example\""), std::string::npos);
    EXPECT_NE(lines[3].find("\"r11@corp.example\"]"), std::string::npos);  // all of them
    EXPECT_EQ(lines[4],
              "{\"summary\": {\"pairs\": 4, \"bytes\": 3312, \"folders\": {\"Inbox\": 1, "
              "\"Outbox\": 1, \"Inbox/BAD\": 1, \"Outbox/BAD\": 1, \"Inbox/Hold\": 0, "
              "\"Outbox/Hold\": 0}, \"being_sent\": 1, \"unreadable\": 1}, "
              "\"last_actions_known\": true, \"flush_asked\": false}");
    for (char c : json) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
    EXPECT_EQ(FormatQueueJson(QueueView{}),
              "{\"summary\": {\"pairs\": 0, \"bytes\": 0, \"folders\": {\"Inbox\": 0, "
              "\"Outbox\": 0, \"Inbox/BAD\": 0, \"Outbox/BAD\": 0, \"Inbox/Hold\": 0, "
              "\"Outbox/Hold\": 0}, \"being_sent\": 0, \"unreadable\": 0}, "
              "\"last_actions_known\": false, \"flush_asked\": false}\n");
}

// The listing the view makes: a lone ".dat" and pairs whose files are links,
// hard links or pipes are shown with why, where the metrics count only the
// pairs the daemon would send; the Hold folders are listed by the view only.
TEST(QueueView, ListingShowsWhatTheDaemonWouldNotSend) {
    test::TempDir dir("qlist");
    const std::string acc = dir.Path() + "/";
    for (const char* n : {"Inbox/ok.dat", "Inbox/ok.msg", "Inbox/lone.dat", "Inbox/ln.dat",
                          "Outbox/hard.dat", "Outbox/hard.msg", "Outbox/Hold/held.DAT",
                          "Outbox/Hold/held.msg", "Inbox/BAD/fifo.msg"}) {
        test::WriteFile(acc + n, std::string(10, 'x'));
    }
    fs::create_symlink(acc + "Inbox/ok.msg", acc + "Inbox/ln.msg");
    fs::create_hard_link(acc + "Outbox/hard.msg", acc + "hard-elsewhere");
    ASSERT_EQ(::mkfifo((acc + "Inbox/BAD/fifo.dat").c_str(), 0600), 0);

    std::vector<std::string> seen;
    for (const QueuedPair& p : ListQueueEntries(acc, 0)) {
        seen.push_back(p.folder + "/" + p.name + ": " + p.unusable + " " + std::to_string(p.bytes));
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{
                  "Inbox/ln: ln.msg is a symbolic link 10", "Inbox/lone: no .msg partner 10",
                  "Inbox/ok:  20", "Outbox/hard: hard.msg is a hard link (more than one name) 20",
                  "Inbox/BAD/fifo: fifo.dat is a pipe (FIFO) 10", "Outbox/Hold/held:  20"}));
    const std::vector<QueuedPair> counted = ListQueuedPairs(acc, 0);
    ASSERT_EQ(counted.size(), 1u);
    EXPECT_EQ(counted[0].name, "ok");
    struct stat st {};
    ASSERT_EQ(::stat((acc + "Inbox/ok.msg").c_str(), &st), 0);
    EXPECT_EQ(counted[0].id.msgIno,
              static_cast<std::uint64_t>(st.st_ino));  // as the daemon knows it
}

TEST(QueueView, EnvelopeReadAsTheSessionReadsItWithoutTrustingTheFile) {
    test::TempDir dir("qview");
    const std::string d = dir.Path() + "/";
    test::WriteFile(d + "cr.dat", "h\rHELO gw\rs@ext.example\rr1@corp.example\rr2@corp.example");
    QueueEnvelope e = PeekQueueEnvelope(d + "cr.dat");
    EXPECT_TRUE(e.readable);
    EXPECT_EQ(e.sender, "s@ext.example");
    EXPECT_EQ(e.recipients, (std::vector<std::string>{"r1@corp.example", "r2@corp.example"}));
    EXPECT_EQ(e.problem, "");

    // A lone LF stays inside its line, as on the wire: the delivery would not send it.
    test::WriteFile(d + "lf.dat", "h\r\nHELO gw\r\ns@ext.example\r\nr1@corp.example\nr2@x\r\n");
    e = PeekQueueEnvelope(d + "lf.dat");
    EXPECT_EQ(e.recipients, (std::vector<std::string>{"r1@corp.example\nr2@x"}));
    EXPECT_NE(e.problem.find("control character 0x0A"), std::string::npos) << e.problem;

    test::WriteFile(d + "empty.dat", "");
    EXPECT_EQ(PeekQueueEnvelope(d + "empty.dat").problem, "no recipients");

    // Longer than the view reads: the start, each line cut as the session cuts it.
    test::WriteFile(d + "huge.dat", "h\r\nHELO gw\r\ns@ext.example\r\n" +
                                        std::string(2 * kQueueViewEnvelopeBytes, 'a'));
    e = PeekQueueEnvelope(d + "huge.dat");
    ASSERT_EQ(e.recipients.size(), 1u);
    EXPECT_EQ(e.recipients[0].size(), kMaxEnvelopeLine);
    EXPECT_NE(e.problem.find("envelope longer than 1048576 bytes"), std::string::npos);

    fs::create_symlink(d + "cr.dat", d + "link.dat");
    e = PeekQueueEnvelope(d + "link.dat");
    EXPECT_FALSE(e.readable);
    EXPECT_EQ(e.problem, "a symbolic link");
    ASSERT_EQ(::mkfifo((d + "fifo.dat").c_str(), 0600), 0);  // no writer: must not block
    EXPECT_EQ(PeekQueueEnvelope(d + "fifo.dat").problem, "not a regular file");
    EXPECT_TRUE(PeekQueueEnvelope(d + "missing.dat").gone);
}

// Port 1 on 127.0.0.1: nobody listens, the daemon's sessions fail at once
// and leave every pair where it is.
constexpr int kNoServerPort = 1;

TEST(QueueView, CommandListsTheQueueWithLastActionsWhileTheDaemonRuns) {
    test::Installation inst(kNoServerPort);
    inst.Queue("Inbox/", "q1", test::Envelope("alice@ext.example", {"bob@corp.example"}));
    inst.Queue("Inbox/", "q10",
               test::Envelope("carol@ext.example", {"dave@corp.example", "erin@corp.example"}));
    inst.Queue("Outbox/", "out1", test::Envelope("bob@corp.example", {"x@ext.example"}));
    test::WriteFile(inst.Acc() + "Outbox/BAD/odd.msg", "x");
    test::WriteFile(inst.Acc() + "Outbox/BAD/odd.dat", "h\r\nHELO gw\r\n\"s\x01\xFF\"\r\n");
    test::WriteFile(inst.Acc() + "Inbox/lone.dat", "h\r\n");
    // The newest row naming "q10" holds "q1" only as part of another name.
    inst.Exec(
        "INSERT INTO tbl_minilog (ipaddress, action) VALUES ('BWTarnOut', "
        "'490 Peer Delivery DEFERRED q1 (RCPT TO: 451 later)'), ('BWTarnOut', "
        "'590 Peer Delivery ERROR q10 (550 no such user)')");

    std::string out, err;
    ASSERT_EQ(inst.RunCommand({"--queue"}, out, err), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_NE(out.find("Inbox/q1  age "), std::string::npos) << out;
    EXPECT_NE(out.find("  from: alice@ext.example\n  to:   bob@corp.example\n"
                       "  last: 490 Peer Delivery DEFERRED q1 (RCPT TO: 451 later)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  last: 590 Peer Delivery ERROR q10 (550 no such user)\n"),
              std::string::npos);
    EXPECT_NE(out.find("Outbox/BAD/odd  age "), std::string::npos);
    EXPECT_NE(out.find("  from: \"s\\x01\\xFF\"\n  note: no recipients\n"), std::string::npos);
    // st_mtime counts whole seconds: a new second may have begun since lone.dat was written.
    const std::string lone = "  3 bytes\n  from: (unreadable: no .msg partner)\n";
    EXPECT_TRUE(out.find("Inbox/lone  age 0s" + lone) != std::string::npos ||
                out.find("Inbox/lone  age 1s" + lone) != std::string::npos)
        << out;
    EXPECT_NE(out.find("\n-- 5 pairs, "), std::string::npos);
    EXPECT_NE(
        out.find(": 3 in Inbox, 1 in Outbox, 0 in Inbox/BAD, 1 in Outbox/BAD; 1 unreadable\n"),
        std::string::npos);
    EXPECT_FALSE(fs::exists(inst.Acc() + "Hold"));  // nothing of the start-up was run

    // The daemon holds its lock and claims the pairs meanwhile.
    inst.Start();
    for (int i = 0; i < 100 && !fs::exists(inst.Acc() + "Hold"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(inst.RunCommand({"--json", "--queue"}, out, err), 0) << err;
    EXPECT_TRUE(inst.Running()) << inst.DaemonLog();
    EXPECT_NE(out.find("\"name\": \"out1\", \"age_seconds\": "), std::string::npos) << out;
    EXPECT_NE(
        out.find("\"sender\": \"bob@corp.example\", \"recipients\": [\"x@ext.example\"], "
                 "\"envelope_problem\": null, \"next_attempt\": null, \"last_action\": null}\n"),
        std::string::npos);
    EXPECT_NE(out.find("\"sender\": \"\\\"s\\u0001\\u00FF\\\"\""), std::string::npos);
    EXPECT_TRUE(
        out.ends_with("\"folders\": {\"Inbox\": 3, \"Outbox\": 1, \"Inbox/BAD\": 0, "
                      "\"Outbox/BAD\": 1, \"Inbox/Hold\": 0, \"Outbox/Hold\": 0}, "
                      "\"being_sent\": 0, \"unreadable\": 1}, \"last_actions_known\": "
                      "true, \"flush_asked\": false}\n"))
        << out;
    inst.Terminate();

    // The database away: the queue all the same, the last actions unknown.
    test::WriteFile(inst.Acc() + "../DBConnect.dat", test::ConnString(1, "none") + "\r\n");
    ASSERT_EQ(inst.RunCommand({"--queue"}, out, err), 0);
    EXPECT_NE(err.find("bwtarnout: the last actions are unknown: "), std::string::npos) << err;
    EXPECT_NE(out.find("Inbox/q10  age "), std::string::npos);
    EXPECT_EQ(out.find("last:"), std::string::npos);

    fs::rename(inst.Acc(), inst.Acc() + "../moved");
    EXPECT_EQ(inst.RunCommand({"--queue", "--json"}, out, err), 1);
    EXPECT_NE(err.find("bwtarnout: no queue folder "), std::string::npos) << err;
    EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace bw
