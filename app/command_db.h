// The database of an installation for a command run by hand (the queue view,
// `bwtarnout --init`): its connection strings (DBConnect.dat beside the
// program or in the application folder, then DBConnect1.dat ...), opened as
// the health check opens them, on a connection of its own.
// DIAGNOSTICS: Open returns why no connection could be opened; a settings
// file that is no regular file is one line on the given event log.
#pragma once

#include <string>

#include "db/db_session.h"
#include "host/textfile.h"
#include "platform/mariadb.h"

namespace bw {

class ServiceControl;

class CommandDatabase {
  public:
    CommandDatabase(const std::string& appPath, ServiceControl& events);
    CommandDatabase(const CommandDatabase&) = delete;
    CommandDatabase& operator=(const CommandDatabase&) = delete;

    /// Opens the primary database, else the first alternative that answers:
    /// "" when a connection is open, else why not.
    std::string Open();
    DbSession& Session() { return session_; }

  private:
    std::string appPath_;
    std::string accPath_;  // SettingsFiles keeps references to both paths
    MariaDbFactory factory_;
    SettingsFiles files_;
    DbSession session_;
};

}  // namespace bw
