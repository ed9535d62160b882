// DbSession: the one database connection and recordset the daemon shares,
// and the on-demand ways back to an open connection that the database users
// run when they find it closed. Built once at start and handed by reference
// to the health check, the audit and the policy store, which reach the
// database only through the methods below.
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
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/connect_string.h"
#include "db/shared_recordset.h"
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
    explicit DbSession(DbFactory& factory) : factory_(&factory) {}
    DbSession(const DbSession&) = delete;
    DbSession& operator=(const DbSession&) = delete;

    // --- where connections come from ------------------------------------
    /// Makes connections; not owned. Without one nothing can be opened.
    void UseFactory(DbFactory& factory) { factory_ = &factory; }
    bool HasFactory() const { return factory_ != nullptr; }
    /// Where the primary and alternative connection strings are read.
    void UseConnectStrings(ConnectStrings strings) { connectStrings_ = std::move(strings); }
    /// The primary connection string (DBConnect.dat); "" without one.
    std::string PrimaryString() const;

    // --- the connection -------------------------------------------------
    /// True when a connection object exists, open or not.
    bool HasConnection() const { return conn_ != nullptr; }
    /// True when the connection exists and is open.
    bool IsOpen() const;
    /// The string the connection object has; nullopt without one.
    std::optional<std::string> ConnectionString() const;

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
    /// A new connection on `connectionString` (no timeout set, no probe) and a
    /// new shared recordset bound to it, as a reconnection pass of the health
    /// check leaves them; `err` receives the failure of the open. True when open.
    bool Connect(const std::string& connectionString, ErrorState& err);

    /// The health check's probe of the connection it has: one that is
    /// missing, closed or does not answer is closed and let go. True when a
    /// connection is kept.
    bool KeepIfAnswering();
    /// The primary, on a connection of its own made for the question (at most
    /// `timeoutSeconds` to connect, closed again), opens and answers the
    /// probe; `err` receives why not. The session's connection is not touched.
    bool PrimaryAnswers(int timeoutSeconds, ErrorState& err);
    /// Lets the connection object go without closing it; the health check
    /// builds a new one.
    void DropConnection() { conn_.reset(); }
    /// Closes the connection (errors ignored) and lets it go.
    void CloseConnection();

    // --- statements -----------------------------------------------------
    /// Runs a statement on the connection; without a connection object the
    /// statement fails (3709).
    void Execute(const std::string& sql, ErrorState& err);
    /// Escapes a value for a quoted SQL literal: by the connection when there
    /// is one, else by the client's rules for the default character set
    /// (never unescaped: a statement without a connection fails anyway, but
    /// its text must not be broken open by the value).
    std::string Escape(const std::string& value) const;
    /// Runs a query on a recordset of its own and reads `column` of every row
    /// (nullopt for NULL), stopping at the first failure, which goes into
    /// err; without an open connection the query fails (3709).
    std::vector<std::optional<std::string>> ReadColumn(const std::string& sql,
                                                       const std::string& column, ErrorState& err);

    // --- the shared recordset -------------------------------------------
    /// The recordset the policy store walks.
    SharedRecordset& Recordset() { return rs_; }
    /// Drops the shared recordset and builds a new one bound to the
    /// connection (the binding fails, harmlessly, when none is open).
    void RebuildRecordset();

  private:
    DbFactory* factory_ = nullptr;
    ConnectStrings connectStrings_;
    /// The shared connection; empty until the health check makes it.
    std::shared_ptr<DbConnection> conn_;
    /// Bound to `conn_` by the health check.
    SharedRecordset rs_;
};

}  // namespace bw
