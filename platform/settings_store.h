// The settings store behind the registry accessor: values addressed by root
// key, key path and value name, each with a platform value type (1 string,
// 2 string with environment references, 3 binary, 4 32-bit number, 5 32-bit
// big-endian number, 7 list of strings) and its raw data as the registry
// keeps it (texts as 8-bit characters ending in a null, numbers as 4 bytes in
// little-endian order, lists as null-separated texts ending in two nulls).
//
// RegFileStore keeps one store in a file of the registry editor's export
// format; MemorySettingsStore is the fake for tests.
// DIAGNOSTICS: a read of a store that cannot be read reports kFailed with a
// reason; a write that cannot open or parse the store reports kOpenFailed
// (nothing written), one that cannot replace the file reports kWriteFailed
// (the old file stays as it was). Nothing throws.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bw {

/// Predefined root keys, as 32-bit handles.
constexpr std::int32_t kHKeyClassesRoot = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t kHKeyCurrentUser = static_cast<std::int32_t>(0x80000001u);
constexpr std::int32_t kHKeyLocalMachine = static_cast<std::int32_t>(0x80000002u);
constexpr std::int32_t kHKeyUsers = static_cast<std::int32_t>(0x80000003u);
constexpr std::int32_t kHKeyCurrentConfig = static_cast<std::int32_t>(0x80000005u);

/// "HKEY_LOCAL_MACHINE" and so on; empty for an unknown handle.
std::string RootKeyName(std::int32_t root);

struct RegData {
    std::uint32_t type = 1;
    std::vector<std::uint8_t> data;

    bool operator==(const RegData&) const = default;
};

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

/// One key of a store: its path (as first spelt) and its values in order.
struct RegKey {
    std::string path;  // "HKEY_LOCAL_MACHINE\Software\Brimwarden\General"
    std::vector<std::pair<std::string, RegData>> values;
};

/// The parsed content of an export file. Key paths and value names compare
/// without regard to case.
class RegDocument {
  public:
    /// Parses the text of an export file (UTF-16LE with a byte-order mark, or
    /// 8-bit text). False, with a reason, when the text is not such a file.
    bool Parse(const std::string& bytes, std::string& reason);
    /// The 8-bit export text, CR LF line ends.
    std::string Serialize() const;

    const RegData* Find(const std::string& keyPath, const std::string& name) const;
    bool HasKey(const std::string& keyPath) const;
    void Set(const std::string& keyPath, const std::string& name, const RegData& value);
    const std::vector<RegKey>& Keys() const { return keys_; }

  private:
    RegKey* FindKey(const std::string& keyPath);
    const RegKey* FindKey(const std::string& keyPath) const;
    std::vector<RegKey> keys_;
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

/// In-memory store for tests; `failReads` / `failWrites` simulate a broken store.
class MemorySettingsStore final : public SettingsStore {
  public:
    Result Query(std::int32_t root, const std::string& keyPath, const std::string& name,
                 RegData& out, std::string& reason) override;
    Result Set(std::int32_t root, const std::string& keyPath, const std::string& name,
               const RegData& value, std::string& reason) override;

    RegDocument doc;
    bool failReads = false;
    Result failWrites = Result::kOk;  // kOpenFailed or kWriteFailed to simulate
};

/// The machine-wide store's file: $BW_REGISTRY or /etc/brimwarden/registry.reg.
std::string MachineRegistryPath();
/// The per-user store's file: $XDG_CONFIG_HOME/brimwarden/registry.reg
/// (default ~/.config/brimwarden/registry.reg).
std::string UserRegistryPath();

/// Helpers for texts in registry data (8-bit, null-terminated).
RegData RegText(std::uint32_t type, const std::string& text);
RegData RegDword(std::uint32_t value);

}  // namespace bw
