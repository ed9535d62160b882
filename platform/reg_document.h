// The registry editor's export format: keys in brackets, values as
// "name"=data lines, "[-key]" and "name"=- deleting. Values are kept with
// their platform value type (1 string, 2 string with environment references,
// 3 binary, 4 32-bit number, 5 32-bit big-endian number, 7 list of strings)
// and their raw data as the registry keeps it (texts as 8-bit characters
// ending in a null, numbers as 4 bytes in little-endian order, lists as
// null-separated texts ending in two nulls).
// DIAGNOSTICS: Parse reports false with a reason naming the line; nothing
// throws.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
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
/// The root key's name + "\\" + keyPath (the root's name alone for an empty path).
std::string FullKeyPath(std::int32_t root, const std::string& keyPath);

struct RegData {
    std::uint32_t type = 1;
    std::vector<std::uint8_t> data;

    bool operator==(const RegData&) const = default;
};

/// Helpers for texts in registry data (8-bit, null-terminated).
RegData RegText(std::uint32_t type, const std::string& text);
RegData RegDword(std::uint32_t value);

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

}  // namespace bw
