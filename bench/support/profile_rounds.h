// The runs profile_bench compares, each against one server: smtp-source (a
// new connection per message, or one kept per session) and the daemon's fast
// profile, into smtp-sink or into a private Postfix; and their tables: every
// run as it ends, then per kind of run the medians of the rounds.
// How a run is timed depends on what the server can tell:
// - smtp-sink: on the sink's clock, its first message of the run to its last;
// - Postfix, smtp-source: its wall time, from its start to its exit (every
//   message answered with 250, every session ended);
// - Postfix, the daemon: from the filing of its first delivered pair to that
//   of its last (FilingWatch: a pair leaves the queue once its 250 is read).
// A Postfix run ends only when the discard agent has delivered every message,
// so no run starts on the queue of the one before.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "bench/support/delivery_runs.h"
#include "bench/support/postfix_server.h"
#include "bench/support/postfix_tools.h"

namespace bw::bench {

constexpr int kSmallBytes = 2048;

struct Row {
    std::string server;  // "smtp-sink" or "Postfix"
    std::string name;
    DeliveryFigures f;
    std::vector<double> ratios;  // the rate's ratios to the reference runs
};

double Rate(const DeliveryFigures& f);
double CpuPerThousand(const DeliveryFigures& f);
double Median(std::vector<double> v);

/// The Markdown header of a table of runs, with a column per ratio.
void PrintHeader(const std::vector<std::string>& ratioNames);
/// A run's line; its ratios, then empty cells up to `ratioColumns`.
void PrintRow(const Row& r, std::size_t ratioColumns = 0);

/// The runs of all rounds, printed as they are kept; then their medians per
/// kind of run (server and name), kinds in the order first kept.
class RunTable {
  public:
    explicit RunTable(std::vector<std::string> ratioNames);
    void Keep(const Row& r);
    void PrintMedians() const;
    /// Every run delivered every message, with its rows and count.
    bool All() const { return all_; }

  private:
    std::vector<std::string> ratioNames_;
    std::vector<std::string> order_;
    std::map<std::string, std::vector<Row>> runs_;
    bool all_ = true;
};

/// "smtp-source -s N", with " -d" before "-s" when the connection is kept.
std::string SourceName(int sessions, bool keepConnection);

Row SourceToSink(const PostfixSink& sink, int sessions, bool keepConnection, int messages);
/// The fast profile, `messages` pairs queued before the start.
Row FastToSink(const PostfixSink& sink, int messages, int maxSessions);
Row SourceToPostfix(PostfixServer& postfix, int sessions, bool keepConnection, int messages);
/// The fast profile at its default into Postfix; `more` settings of section
/// "Server" beside the profile's, the run named `runName` when not empty.
Row FastToPostfix(PostfixServer& postfix, int messages, const ServerValues& more = {},
                  const std::string& runName = "");

}  // namespace bw::bench
