// What the fault runs share (bench/fault_bench.cpp, bench/support/galera_run.cpp):
// a gateway installation of its own (a Site: application folder, state
// folder, database, the real daemon) that remembers the messages it was
// given, the run's private database server and counting sink, and the tally
// at the end (lost, sent twice, stranded, rows and counts against deliveries,
// what is left in the spools).
// DIAGNOSTICS: database failures abort as in the tests (tests/support).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/installation.h"
#include "tests/support/mariadb_server.h"
#include "tests/support/smtp_peer.h"

namespace bw::bench {

using Clock = std::chrono::steady_clock;
using Values = std::vector<std::pair<std::string, std::string>>;

double Since(Clock::time_point t);
void SleepMs(long ms);

/// Every message's "X-Id:" header, counted when its end of data arrived.
std::map<std::string, int> Received(const test::SmtpPeer& sink);

struct Site {
    Site(const std::string& tag, int smtpPort, int dbPort, const Values& values = {});

    void Queue(const std::string& folder, const std::string& id);
    /// Queues `pairs` messages, in the Inbox and the Outbox by turns.
    void Fill(int pairs, const std::string& prefix);
    long Number(const std::string& sql) const { return std::stol(in.Scalar(sql)); }
    /// True while the daemon holds a connection to its database.
    bool Connected() const;
    /// Records waiting in the audit spool (lines after its header).
    long Spooled() const;
    int JournalCount(const std::string& part) const;
    /// The application folder (where DBConnect*.dat live).
    std::string App() const { return in.Acc().substr(0, in.Acc().size() - 7); }

    std::string tarnId;
    test::Installation in;
    std::vector<std::string> ids;
};
using Sites = std::vector<std::unique_ptr<Site>>;

// One run's private database server, sink and installations (gone in that
// order: the installations drop their databases first).
struct Rig {
    bool Start();
    Site& Add(const std::string& tag, const Values& values = {});
    test::PrivateMariaDb server;
    test::SmtpPeer sink;
    Sites sites;
};

struct Tally {
    long queued = 0, unique = 0, receipts = 0, twice = 0, lost = 0, stranded = 0, lone = 0;
    long setAside = 0, rows = 0, allRows = 0, counted = 0, doubledRows = 0, spooled = 0;
};

/// Adds the queues, spools and messages of `sites`; rows and counts are
/// read from each site's own database unless `shared` is set (then from
/// `shared`'s database, once, for all of them).
void Count(const Sites& sites, const test::SmtpPeer& sink, Tally& t, const Site* shared = nullptr);
void PrintTally(const Tally& t);
bool WaitDrained(const Sites& sites, int seconds);

/// The profile's server values: {} for classic, Profile=fast for fast.
Values ProfileValues(bool fast);

}  // namespace bw::bench
