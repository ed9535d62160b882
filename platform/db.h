// The data-access shapes the logic uses: a connection (state, connection
// timeout, connection string, open, execute, close, error list) and a static,
// fully buffered client-side recordset (source, open, record count, first,
// next, end of data, fields by name, add new, update, delete, close).
// Every operation reports failure into the caller's ErrorState and never
// throws. Values are text as the server sends them; SQL NULL is nullopt.
// RecordCount is -1 while the recordset is closed. The MariaDB Connector/C
// realisation lives in platform/mariadb.*.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/error_state.h"

namespace bw {

class DbConnection {
  public:
    static constexpr int kStateClosed = 0;
    static constexpr int kStateOpen = 1;

    virtual ~DbConnection() = default;
    /// 1 when open, 0 otherwise.
    virtual int State() const = 0;
    /// Seconds to wait for the server when opening; 15 unless set.
    virtual void SetConnectionTimeout(int seconds) = 0;
    virtual int ConnectionTimeout() const = 0;
    virtual void SetConnectionString(const std::string& connectionString) = 0;
    virtual const std::string& ConnectionString() const = 0;
    /// Opens with an empty user name and password: everything comes from the string.
    virtual void Open(ErrorState& err) = 0;
    virtual void Execute(const std::string& sql, ErrorState& err) = 0;
    /// Closing a closed connection raises an error, as the callers expect.
    virtual void Close(ErrorState& err) = 0;
    /// Empties and re-reads the provider's error list.
    virtual void ClearErrors() = 0;
    /// Escapes a value for use between single quotes on this connection.
    virtual std::string Escape(const std::string& value) const = 0;
};

class DbRecordset {
  public:
    virtual ~DbRecordset() = default;
    /// Binds the recordset to a connection for all later opens.
    virtual void SetActiveConnection(std::shared_ptr<DbConnection> conn, ErrorState& err) = 0;
    virtual std::shared_ptr<DbConnection> ActiveConnection() const = 0;
    virtual void SetSource(const std::string& sql) = 0;
    virtual void Open(ErrorState& err) = 0;
    virtual bool IsOpen() const = 0;
    virtual long RecordCount() const = 0;
    virtual void MoveFirst(ErrorState& err) = 0;
    virtual void MoveNext(ErrorState& err) = 0;
    virtual bool Eof() const = 0;
    /// Value of a column of the current row; nullopt for SQL NULL.
    virtual std::optional<std::string> Field(const std::string& name, ErrorState& err) const = 0;
    virtual void SetField(const std::string& name, const std::optional<std::string>& value,
                          ErrorState& err) = 0;
    virtual void AddNew(ErrorState& err) = 0;
    /// Stores the new or changed current row (identified by its `id` column).
    virtual void Update(ErrorState& err) = 0;
    /// Deletes the current row (identified by its `id` column).
    virtual void Delete(ErrorState& err) = 0;
    /// Closing a closed recordset raises an error, as the callers expect.
    virtual void Close(ErrorState& err) = 0;
};

/// The command object: one statement run on the connection it is bound to.
/// Binding to an empty or closed connection raises an error, and so does
/// executing without a usable connection.
class DbCommand {
  public:
    void SetActiveConnection(std::shared_ptr<DbConnection> conn, ErrorState& err) {
        conn_ = std::move(conn);
        if (!conn_ || conn_->State() != DbConnection::kStateOpen) {
            err.Raise(3709, "The connection cannot be used to perform this operation.");
        }
    }
    void SetCommandText(const std::string& sql) { text_ = sql; }
    const std::string& CommandText() const { return text_; }
    void Execute(ErrorState& err) {
        if (!conn_) {
            err.Raise(3709, "The connection cannot be used to perform this operation.");
            return;
        }
        conn_->Execute(text_, err);
    }

  private:
    std::shared_ptr<DbConnection> conn_;
    std::string text_;
};

/// Makes connection and recordset objects (the MariaDB client, or a test's fake).
class DbFactory {
  public:
    virtual ~DbFactory() = default;
    virtual std::shared_ptr<DbConnection> NewConnection() = 0;
    virtual std::shared_ptr<DbRecordset> NewRecordset() = 0;
};

}  // namespace bw
