// cRegistry: one value of the settings store, addressed by root key, key path
// and value name, read and written with a declared value type (1 string,
// 2 string with environment references, 3 binary, 4 32-bit number, 5 32-bit
// big-endian number, 7 list of strings).
// DIAGNOSTICS: reading never fails (Default is returned); writing leaves its
// error in Err: 26001 when the key cannot be opened or the data does not fit
// the type, vbObjectError + 27049 when the value cannot be written, both with
// the description "Failed to set registry value Key: '<root>',Section: '...'
// ,Key: '...' to value: '...'", which the settings wrappers put in the event log.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/error_state.h"

namespace bw {

class SettingsStore;

/// A value of any kind, as the accessor's value and Default hold it.
using RegVariant = std::variant<std::monostate, std::string, std::int16_t, std::int32_t, double,
                                std::vector<std::uint8_t>>;

/// Text form of a value (numbers in decimal, bytes as 8-bit characters).
std::string VariantText(const RegVariant& v);

constexpr long kVbObjectError = -2147221504L;
constexpr long kErrRegistryOpen = 26001;
constexpr long kErrRegistryWrite = kVbObjectError + 27049;

class cRegistry {
  public:
    explicit cRegistry(SettingsStore& store) : store_(&store) {}

    std::int32_t ClassKey = 0;
    std::string SectionKey;
    std::string ValueKey;
    std::int32_t ValueType = 1;
    RegVariant Default;

    /// Reads the value; Default when it cannot be read. Sets ValueType to the
    /// stored type on success.
    RegVariant value();
    /// Writes the value; a failure is left in Err (and ErrSource).
    void setValue(const RegVariant& v);

    ErrorState Err;
    std::string ErrSource;
    /// Why the store refused the last write (for the operator's diagnostics).
    std::string StoreReason;

  private:
    void Raise(long number, const RegVariant& v);
    SettingsStore* store_;
};

/// Expands every %NAME% reference to the environment variable's value;
/// references to unset variables stay as they are.
std::string ExpandEnvironmentRefs(const std::string& s);

}  // namespace bw
