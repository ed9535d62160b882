#include "tests/support/fake_host_platform.h"

namespace bw {

SettingsStore::Result MemorySettingsStore::Query(std::int32_t root, const std::string& keyPath,
                                                 const std::string& name, RegData& out,
                                                 std::string& reason) {
    if (failReads) {
        reason = "simulated read failure";
        return Result::kFailed;
    }
    const RegData* v = doc.Find(FullKeyPath(root, keyPath), name);
    if (v == nullptr) return Result::kMissing;
    out = *v;
    return Result::kOk;
}

SettingsStore::Result MemorySettingsStore::Set(std::int32_t root, const std::string& keyPath,
                                               const std::string& name, const RegData& value,
                                               std::string& reason) {
    if (failWrites != Result::kOk) {
        reason = "simulated write failure";
        return failWrites;
    }
    doc.Set(FullKeyPath(root, keyPath), name, value);
    return Result::kOk;
}

}  // namespace bw
