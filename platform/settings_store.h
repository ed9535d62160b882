// The settings store behind the registry accessor: values addressed by root
// key, key path and value name, each with its platform value type and raw
// data (platform/reg_document.h).
//
// RegFileStore keeps one store in a file of the registry editor's export
// format (tests have an in-memory store of their own).
// DIAGNOSTICS: a read of a store that cannot be read reports kFailed with a
// reason; a write that cannot open or parse the store reports kOpenFailed
// (nothing written), one that cannot replace the file reports kWriteFailed
// (the old file stays as it was). Nothing throws.
#pragma once

#include <cstdint>
#include <string>

#include "platform/reg_document.h"

namespace bw {

class SettingsStore {
  public:
    enum class Result { kOk, kMissing, kFailed, kOpenFailed, kWriteFailed };

    virtual ~SettingsStore() = default;
    /// Reads one value. kMissing when the key or the value does not exist.
    virtual Result Query(std::int32_t root, const std::string& keyPath, const std::string& name,
                         RegData& out, std::string& reason) = 0;
    /// Writes one value, creating every missing key along the path.
    virtual Result Set(std::int32_t root, const std::string& keyPath, const std::string& name,
                       const RegData& value, std::string& reason) = 0;
};

/// A store in one export file. Reads take the file as it is (a missing file is
/// an empty store); writes lock the file (exclusive flock), read it afresh,
/// change one value and replace the file atomically (temporary file, fsync,
/// rename, fsync of the folder).
class RegFileStore final : public SettingsStore {
  public:
    explicit RegFileStore(std::string path) : path_(std::move(path)) {}
    Result Query(std::int32_t root, const std::string& keyPath, const std::string& name,
                 RegData& out, std::string& reason) override;
    Result Set(std::int32_t root, const std::string& keyPath, const std::string& name,
               const RegData& value, std::string& reason) override;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

/// The machine-wide store's file: $BW_REGISTRY or /etc/brimwarden/registry.reg.
std::string MachineRegistryPath();
/// The per-user store's file: $XDG_CONFIG_HOME/brimwarden/registry.reg
/// (default ~/.config/brimwarden/registry.reg).
std::string UserRegistryPath();

}  // namespace bw
