// Private MariaDB servers for tests, on 127.0.0.1 only.
// The shared server of a test run is started by the CTest fixture (script
// tests/support/testdb, folder $BW_TEST_DB_DIR). Tests that stop or restart a
// server start their own PrivateMariaDb from the same initialised template.
// Each test works in a database of its own (CreateTestDatabase), so tests may
// run in parallel. Failures here are test failures (gtest assertions/abort).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace bw::test {

using Row = std::vector<std::optional<std::string>>;

/// Port of the shared server; starts one for this process if none runs.
int SharedDbPort();

/// Connection string in the installations' key=value form.
std::string ConnString(int port, const std::string& database, const std::string& user = "bw",
                       const std::string& password = "bw");

/// Creates a uniquely named database (and loads sql/schema.sql unless told not to).
std::string CreateTestDatabase(int port, bool withSchema = true);
void DropTestDatabase(int port, const std::string& database);

/// Runs statements with the client library directly, past the product's layer.
/// Exec fails the test on an SQL error; Query returns all rows.
void Exec(int port, const std::string& database, const std::string& sql);
std::vector<Row> Query(int port, const std::string& database, const std::string& sql);
/// First column of the first row, or "" when there is none.
std::string Scalar(int port, const std::string& database, const std::string& sql);

/// A free TCP port on 127.0.0.1 (bound once and released).
int FreeLocalPort();

/// A server of one's own: start, stop, restart on the same port and data.
class PrivateMariaDb {
  public:
    PrivateMariaDb();
    ~PrivateMariaDb() { Kill(); }

    /// Starts the server and waits until it answers; false on failure.
    bool Start();
    /// Stops it (SIGTERM, then SIGKILL after 10 s) and waits for the exit.
    void Stop();
    /// Ends it at once with SIGKILL, like a crash.
    void Kill();
    int Port() const { return port_; }

  private:
    TempDir tmp_{"bwdb"};
    const std::string dir_ = tmp_.Path();
    int port_ = FreeLocalPort();
    pid_t pid_ = -1;
};

}  // namespace bw::test
