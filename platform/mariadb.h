// The database client on MariaDB Connector/C: connections opened from the
// installations' key=value connection strings, and static, fully buffered
// client-side recordsets whose AddNew/Update/Delete become INSERT, UPDATE and
// DELETE statements (rows identified by their `id` column).
//
// Timeouts: opening waits ConnectionTimeout seconds (15 unless set); every
// connection also gets read and write timeouts of kIoTimeoutSeconds, so a
// server that stops answering cannot freeze the loop for ever.
// DIAGNOSTICS: nothing throws. Failures go into the caller's ErrorState with
// the server's or client's error number and text. A statement that fails
// because the server went away closes the connection (State() becomes 0).
#pragma once

#include <memory>
#include <string>

#include "platform/db.h"

namespace bw {

/// What a connection string says about the server. Keys are compared without
/// regard to case; DRIVER, Provider, OPTION and unknown keys are ignored.
struct DbConnectParams {
    std::string host;                // SERVER, HOST, Data Source; empty means localhost
    unsigned port = 0;               // PORT; 0 means the client's default (3306)
    std::string database;            // DATABASE, DB, Initial Catalog
    std::string user;                // UID, USER, User ID
    std::string password;            // PWD, PASSWORD
    std::string socket;              // SOCKET
    std::string charset = "latin1";  // CHARSET; latin1 keeps 8-bit text byte for byte
    std::string error;               // non-empty when the string cannot be used
};

/// Splits "key=value;key={value;with;semicolons};..." ("}}" inside braces is one "}").
DbConnectParams ParseConnectionString(const std::string& connectionString);

/// Escapes a value for use between single quotes without a live connection
/// (the same bytes mysql_real_escape_string gives for latin1 and utf8).
std::string EscapeSqlOffline(const std::string& value);

class MariaDbFactory final : public DbFactory {
  public:
    static constexpr int kDefaultConnectionTimeout = 15;
    static constexpr unsigned kIoTimeoutSeconds = 30;

    /// `ioTimeoutSeconds`: the read and write timeout of every connection made.
    explicit MariaDbFactory(unsigned ioTimeoutSeconds = kIoTimeoutSeconds)
        : ioTimeout_(ioTimeoutSeconds) {}

    std::shared_ptr<DbConnection> NewConnection() override;
    std::shared_ptr<DbRecordset> NewRecordset() override;

  private:
    unsigned ioTimeout_;
};

}  // namespace bw
