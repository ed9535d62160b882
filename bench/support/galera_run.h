// The fault run on a Galera cluster (fault_bench galera): a 3-node cluster on
// 127.0.0.1 started by scripts/galera-cluster, two daemons on different
// nodes (each one's own node first in its DBConnect*.dat, the others as
// alternatives) writing to one shared database, pairs fed to both at a
// steady rate, and the nodes SIGKILLed and restarted in rotation.
// Figures: fail-over time (a kill of a daemon's own node to its metrics
// showing an alternative), return time (the node synced again to the daemon
// back on it), deliveries per second and the longest time without a new
// delivery, in a quiet phase and in the kill phase; then the audit: rows =
// counts = deliveries, no row twice, every spool empty.
// DIAGNOSTICS: a cluster that does not start ends the run with status 1.
#pragma once

#include <string>

namespace bw::bench {

/// `kills` node kills in rotation (1, 2, 3, 1, ...); `feed` pairs per second
/// to each daemon; the cluster in `dir` (left running), else in a folder
/// under /tmp made and removed by the run.
int RunGalera(bool fast, int kills, int feed, const std::string& dir);

}  // namespace bw::bench
