// The real MariaDB factory, remembering every connection and recordset it
// made: the seam through which tests see the objects a database session
// holds. In the health check each new connection is opened once, so `made`
// is the list of tries; with no return probe since, its last entry is the
// session's connection.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/db.h"
#include "platform/mariadb.h"

namespace bw::test {

class RecordingDbFactory final : public DbFactory {
  public:
    std::shared_ptr<DbConnection> NewConnection() override {
        return made.emplace_back(real_.NewConnection());
    }
    std::shared_ptr<DbRecordset> NewRecordset() override {
        return recordsets.emplace_back(real_.NewRecordset());
    }
    std::vector<std::string> Strings() const {
        std::vector<std::string> out;
        for (const auto& c : made) out.push_back(c->ConnectionString());
        return out;
    }
    std::vector<std::shared_ptr<DbConnection>> made;
    std::vector<std::shared_ptr<DbRecordset>> recordsets;

  private:
    MariaDbFactory real_;
};

}  // namespace bw::test
