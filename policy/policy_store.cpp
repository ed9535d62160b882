#include "policy/policy_store.h"

#include <utility>

namespace bw {

PolicyStore::PolicyStore(DbSession& session, const Clock& clock, Audit& audit, SettingsFiles& files,
                         PolicyFolders folders, PolicySettings settings)
    : settings(settings),
      db_(session),
      rows_(session.Recordset()),
      clock_(clock),
      audit_(audit),
      files_(files),
      folders_(std::move(folders)) {}

bool PolicyStore::Query(const std::string& sql, ErrorState& err) {
    rows_.Open(sql, err);
    if (!err.Failed()) return true;
    // The health check builds a new connection within a second.
    db_.DropConnection();
    return false;
}

}  // namespace bw
