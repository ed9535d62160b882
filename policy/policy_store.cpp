#include "policy/policy_store.h"

#include <utility>

namespace bw {

PolicyStore::PolicyStore(DbSession& session, const Clock& clock, Audit& audit, SettingsFiles& files,
                         PolicyFolders folders, PolicySettings settings)
    : settings(settings),
      db_(session),
      clock_(clock),
      audit_(audit),
      files_(files),
      folders_(std::move(folders)) {}

}  // namespace bw
