#include "host/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/settings_store.h"

namespace bw {

namespace {

std::string ExeName() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("bwtarnout") : exe.filename().string();
}

/// A text holds an environment reference when a second "%" follows the first
/// at least two characters later ("%A%").
bool HasEnvironmentRef(const std::string& s) {
    const std::size_t first = s.find('%');
    if (first == std::string::npos) return false;
    return s.find('%', first + 2) != std::string::npos;
}

std::string DataText(const std::vector<std::uint8_t>& d, std::size_t n) {
    return std::string(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(std::min(n, d.size())));
}

std::uint32_t DataDword(const std::vector<std::uint8_t>& d) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4 && i < d.size(); ++i)
        v |= static_cast<std::uint32_t>(d[i]) << (8 * i);
    return v;
}

}  // namespace

std::string VariantText(const RegVariant& v) {
    struct Visitor {
        std::string operator()(std::monostate) const { return ""; }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(std::int16_t i) const { return std::to_string(i); }
        std::string operator()(std::int32_t i) const { return std::to_string(i); }
        std::string operator()(double d) const {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.15g", d);
            return buf;
        }
        std::string operator()(const std::vector<std::uint8_t>& b) const {
            return std::string(b.begin(), b.end());
        }
    };
    return std::visit(Visitor{}, v);
}

std::string ExpandEnvironmentRefs(const std::string& s) {
    std::string out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        const std::size_t a = s.find('%', pos);
        if (a == std::string::npos) break;
        const std::size_t b = s.find('%', a + 1);
        if (b == std::string::npos) break;
        const std::string name = s.substr(a + 1, b - a - 1);
        const char* val = name.empty() ? nullptr : std::getenv(name.c_str());
        out += s.substr(pos, a - pos);
        if (val != nullptr) {
            out += val;
            pos = b + 1;
        } else {
            // Unknown: keep the first "%" and look again from the second one.
            out += '%' + name;
            pos = b;
        }
    }
    out += s.substr(std::min(pos, s.size()));
    return out;
}

RegVariant cRegistry::value() {
    RegData d;
    std::string reason;
    if (store_->Query(ClassKey, SectionKey, ValueKey, d, reason) != SettingsStore::Result::kOk) {
        return Default;
    }
    ValueType = static_cast<std::int32_t>(d.type);
    switch (d.type) {
        case 1:
        case 7:
            return DataText(d.data, d.data.empty() ? 0 : d.data.size() - 1);
        case 2:
            return ExpandEnvironmentRefs(DataText(d.data, d.data.empty() ? 0 : d.data.size() - 1));
        case 4:
            return static_cast<std::int32_t>(DataDword(d.data));
        case 5: {
            const std::uint32_t v = DataDword(d.data);
            return static_cast<std::int32_t>(((v & 0xFF) << 24) | ((v & 0xFF00) << 8) |
                                             ((v >> 8) & 0xFF00) | (v >> 24));
        }
        default:
            return d.data;
    }
}

void cRegistry::Raise(long number, const RegVariant& v) {
    ErrSource = ExeName() + ".cRegistry";
    Err.Raise(number, "Failed to set registry value Key: '" + std::to_string(ClassKey) +
                          "',Section: '" + SectionKey + "',Key: '" + ValueKey + "' to value: '" +
                          VariantText(v) + "'");
}

void cRegistry::setValue(const RegVariant& v) {
    if (RootKeyName(ClassKey).empty()) {
        Raise(kErrRegistryOpen, v);
        return;
    }
    RegData d;
    switch (ValueType) {
        case 1:
        case 2: {
            const std::string text = VariantText(v);
            d = RegText(HasEnvironmentRef(text) ? 2 : 1, text);
            break;
        }
        case 3:
            if (!std::holds_alternative<std::vector<std::uint8_t>>(v)) {
                Raise(kErrRegistryOpen, v);
                return;
            }
            d.type = 3;
            d.data = std::get<std::vector<std::uint8_t>>(v);
            break;
        case 4:
        case 5:
            if (const auto* i16 = std::get_if<std::int16_t>(&v)) {
                d = RegDword(static_cast<std::uint32_t>(static_cast<std::int32_t>(*i16)));
            } else if (const auto* i32 = std::get_if<std::int32_t>(&v)) {
                d = RegDword(static_cast<std::uint32_t>(*i32));
            } else {
                return;  // not an integer: nothing is written, and that is no error
            }
            break;
        default:
            Raise(kErrRegistryWrite, v);  // a type the accessor cannot write
            return;
    }
    StoreReason.clear();
    switch (store_->Set(ClassKey, SectionKey, ValueKey, d, StoreReason)) {
        case SettingsStore::Result::kOk:
            return;
        case SettingsStore::Result::kOpenFailed:
            Raise(kErrRegistryOpen, v);
            return;
        default:
            Raise(kErrRegistryWrite, v);
            return;
    }
}

}  // namespace bw
