// DbSession: the one database connection and recordset the daemon shares,
// and the on-demand ways back to an open connection that the database users
// run when they find it closed. Built once at start and handed by reference
// to the health check, the audit and the policy store.
//
// Each reconnection does nothing when the connection is open and returns
// whether it is open afterwards; the caller takes its own no-database path on
// false. None sets a connection timeout (the client's default applies) or
// touches the recordset.
//   Fresh:  a new connection object on the primary string (the old object,
//           and a recordset still bound to it, are left behind).
//   Reset:  the same object, closed and opened again on the primary string.
//   Reopen: the same object, closed and opened again on the string it has.
// DIAGNOSTICS: nothing is logged; Reopen hands back the failure of its open.
#pragma once

#include <memory>
#include <string>

#include "db/connect_string.h"
#include "platform/db.h"
#include "platform/error_state.h"

namespace bw {

/// The query a connection must answer to count as working: a table of the
/// daemon's own (a node that accepts logins and "SELECT 1" but no table
/// query, such as a Galera node cut off from its cluster, does not count).
inline constexpr const char* kDBProbe = "SELECT * FROM tbl_stats LIMIT 1";

class DbSession {
  public:
    DbSession() = default;
    explicit DbSession(DbFactory& factory) : factory(&factory) {}
    DbSession(const DbSession&) = delete;
    DbSession& operator=(const DbSession&) = delete;

    /// Makes connections; not owned. Without one nothing can be opened.
    DbFactory* factory = nullptr;
    /// Where the primary and alternative connection strings are read.
    ConnectStrings connectStrings;
    /// The shared connection; empty until the health check makes it.
    std::shared_ptr<DbConnection> conn;
    /// The shared recordset, bound to `conn` by the health check.
    std::shared_ptr<DbRecordset> rs;

    /// True when the connection exists and is open.
    bool IsOpen() const;

    bool ReconnectFresh();
    bool ReconnectReset();
    /// `lastError` receives the failure of the last failed step (the open, or
    /// "no connection object" when there is no connection).
    bool ReconnectReopen(ErrorState& lastError);
    bool ReconnectReopen();

    /// The open connection answers the probe (kDBProbe); `err` receives why not.
    bool Answers(ErrorState& err);

    /// A new connection on the primary string, waiting at most
    /// `timeoutSeconds` for the server; true when it opened and answers the
    /// probe (one that opens and does not answer is closed again). `err`
    /// receives the failure of the open or of the probe.
    bool OpenPrimary(int timeoutSeconds, ErrorState& err);
    /// The alternatives 1 to kMaxAlternativeDB in order, each on a new
    /// connection, until one opens and answers the probe or the next file is
    /// missing or empty: the number of that one, or 0 (the connection is
    /// left on the last one tried, closed).
    int OpenAlternative();
};

}  // namespace bw
