#include "platform/reg_document.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "platform/reg_encoding.h"

namespace bw {

using namespace reg;

std::string RootKeyName(std::int32_t root) {
    switch (static_cast<std::uint32_t>(root)) {
        case 0x80000000u:
            return "HKEY_CLASSES_ROOT";
        case 0x80000001u:
            return "HKEY_CURRENT_USER";
        case 0x80000002u:
            return "HKEY_LOCAL_MACHINE";
        case 0x80000003u:
            return "HKEY_USERS";
        case 0x80000005u:
            return "HKEY_CURRENT_CONFIG";
        default:
            return "";
    }
}

std::string FullKeyPath(std::int32_t root, const std::string& keyPath) {
    const std::string r = RootKeyName(root);
    return keyPath.empty() ? r : r + "\\" + keyPath;
}

RegData RegText(std::uint32_t type, const std::string& text) {
    RegData d;
    d.type = type;
    d.data.assign(text.begin(), text.end());
    d.data.push_back(0);
    return d;
}

RegData RegDword(std::uint32_t value) {
    RegData d;
    d.type = 4;
    for (int i = 0; i < 4; ++i) d.data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return d;
}

// --- RegDocument --------------------------------------------------------------

RegKey* RegDocument::FindKey(const std::string& keyPath) {
    for (auto& k : keys_) {
        if (SameText(k.path, keyPath)) return &k;
    }
    return nullptr;
}

const RegKey* RegDocument::FindKey(const std::string& keyPath) const {
    for (const auto& k : keys_) {
        if (SameText(k.path, keyPath)) return &k;
    }
    return nullptr;
}

bool RegDocument::HasKey(const std::string& keyPath) const {
    const std::string prefix = Upper(keyPath) + "\\";
    for (const auto& k : keys_) {
        if (SameText(k.path, keyPath) || Upper(k.path).rfind(prefix, 0) == 0) return true;
    }
    return false;
}

const RegData* RegDocument::Find(const std::string& keyPath, const std::string& name) const {
    const RegKey* k = FindKey(keyPath);
    if (k == nullptr) return nullptr;
    for (const auto& [n, v] : k->values) {
        if (SameText(n, name)) return &v;
    }
    return nullptr;
}

void RegDocument::Set(const std::string& keyPath, const std::string& name, const RegData& value) {
    // A key implies every key above it, as in an export file; only the key
    // that holds the value is written out.
    RegKey* k = FindKey(keyPath);
    if (k == nullptr) {
        keys_.push_back({keyPath, {}});
        k = &keys_.back();
    }
    for (auto& [n, v] : k->values) {
        if (SameText(n, name)) {
            v = value;
            return;
        }
    }
    k->values.emplace_back(name, value);
}

namespace {

constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";

std::string DecodeExportText(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        return Utf16ToUtf8(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2,
                           bytes.size() - 2);
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
    return bytes;
}

// Splits into logical lines: CR LF, LF or CR end a line; a value line ending
// in "\" goes on in the next line. Only the ends of the growing line are
// looked at, so a value continued over many thousands of lines is joined in
// linear time.
std::vector<std::string> LogicalLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    std::string logical;
    auto finish = [&](const std::string& line) {
        if (!logical.empty()) {
            logical += Trim(line);
        } else {
            logical = line;
        }
        const std::size_t first = logical.find_first_not_of(" \t");
        const std::size_t last = logical.find_last_not_of(" \t");
        if (first != std::string::npos && logical[last] == '\\' && logical[first] != '[') {
            logical.erase(last);  // the "\" and the blanks after it
            return;
        }
        lines.push_back(std::move(logical));
        logical.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            finish(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) finish(cur);
    if (!logical.empty()) lines.push_back(logical);
    return lines;
}

// The data after "=": a quoted text, dword:, hex: or hex(type):. False when
// it is none of them.
bool ParseValueData(const std::string& data, bool wideStrings, RegData& value) {
    if (!data.empty() && data[0] == '"') {
        std::size_t p = 0;
        std::string s;
        const bool ok = UnquoteText(data, p, s) && Trim(data.substr(p)).empty();
        value = RegText(1, s);
        return ok;
    }
    if (Upper(data).rfind("DWORD:", 0) == 0) {
        char* end = nullptr;
        const std::string digits = data.substr(6);
        const unsigned long v = std::strtoul(digits.c_str(), &end, 16);
        value = RegDword(static_cast<std::uint32_t>(v));
        return !digits.empty() && digits.size() <= 8 && *end == '\0';
    }
    if (Upper(data).rfind("HEX", 0) != 0) return false;
    const std::size_t colon = data.find(':');
    value.type = 3;
    bool ok = true;
    if (colon != std::string::npos && data[3] == '(') {
        char* end = nullptr;
        const std::string t = data.substr(4, colon - 4);
        value.type = static_cast<std::uint32_t>(std::strtoul(t.c_str(), &end, 16));
        ok = !t.empty() && t.back() == ')' && end == t.c_str() + t.size() - 1;
    } else {
        ok = colon == 3;
    }
    ok = ok && ParseHexBytes(data.substr(colon + 1), value.data);
    if (ok && wideStrings && IsTextType(value.type)) {
        const std::string s = Utf16ToUtf8(value.data.data(), value.data.size());
        value.data.assign(s.begin(), s.end());
    }
    return ok;
}

// Keys and values are looked up through hash indexes while reading, so an
// export of a whole hive (many thousands of keys and values) reads in linear
// time. Deleted keys and values are only marked here and left out at the end,
// so that the indexes stay valid.
class ExportReader {
  public:
    bool Line(const std::string& line, int lineNo, std::string& reason);
    bool SawHeader() const { return sawHeader_; }
    std::vector<RegKey> Result();

  private:
    static constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);
    bool Header(const std::string& line, std::string& reason);
    bool KeyLine(const std::string& line, int lineNo, std::string& reason);
    void DeleteKey(const std::string& path);
    bool ValueLine(const std::string& line, int lineNo, std::string& reason);
    void PutValue(const std::string& name, RegData value);

    std::vector<RegKey> keys_;
    std::vector<char> keyAlive_;
    std::vector<std::vector<char>> valueAlive_;
    std::vector<std::unordered_map<std::string, std::size_t>> valueIndex_;
    std::unordered_map<std::string, std::size_t> keyIndex_;  // upper-case path of a live key
    std::size_t key_ = kNoKey;
    bool sawHeader_ = false;
    bool wideStrings_ = true;
};

bool ExportReader::Line(const std::string& raw, int lineNo, std::string& reason) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') return true;
    if (!sawHeader_) return Header(line, reason);
    if (line[0] == '[') return KeyLine(line, lineNo, reason);
    if (key_ == kNoKey) {
        reason = "value outside a key in line " + std::to_string(lineNo);
        return false;
    }
    return ValueLine(line, lineNo, reason);
}

bool ExportReader::Header(const std::string& line, std::string& reason) {
    if (line == kHeader5) {
        wideStrings_ = true;
    } else if (line == kHeader4) {
        wideStrings_ = false;
    } else {
        reason = "not a registry export file (no header line)";
        return false;
    }
    sawHeader_ = true;
    return true;
}

bool ExportReader::KeyLine(const std::string& line, int lineNo, std::string& reason) {
    if (line.back() != ']') {
        reason = "bad key line " + std::to_string(lineNo);
        return false;
    }
    const std::string path = line.substr(1, line.size() - 2);
    if (!path.empty() && path[0] == '-') {
        DeleteKey(path.substr(1));
        key_ = kNoKey;
        return true;
    }
    const auto [it, added] = keyIndex_.try_emplace(Upper(path), keys_.size());
    if (added) {
        keys_.push_back({path, {}});
        keyAlive_.push_back(1);
        valueAlive_.emplace_back();
        valueIndex_.emplace_back();
    }
    key_ = it->second;
    return true;
}

void ExportReader::DeleteKey(const std::string& path) {
    const std::string upper = Upper(path);
    const std::string prefix = upper + "\\";
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (!keyAlive_[i]) continue;
        const std::string k = Upper(keys_[i].path);
        if (k == upper || k.rfind(prefix, 0) == 0) {
            keyAlive_[i] = 0;
            keyIndex_.erase(k);
        }
    }
}

bool ExportReader::ValueLine(const std::string& line, int lineNo, std::string& reason) {
    std::string name;
    std::size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (line[0] != '"') {
        reason = "bad line " + std::to_string(lineNo);
        return false;
    } else if (!UnquoteText(line, pos, name)) {
        reason = "bad value name in line " + std::to_string(lineNo);
        return false;
    }
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size() || line[pos] != '=') {
        reason = "missing \"=\" in line " + std::to_string(lineNo);
        return false;
    }
    const std::string data = Trim(line.substr(pos + 1));
    if (data == "-") {
        const auto it = valueIndex_[key_].find(Upper(name));
        if (it != valueIndex_[key_].end()) {
            valueAlive_[key_][it->second] = 0;
            valueIndex_[key_].erase(it);
        }
        return true;
    }
    RegData value;
    if (!ParseValueData(data, wideStrings_, value)) {
        reason = "bad value in line " + std::to_string(lineNo);
        return false;
    }
    PutValue(name, std::move(value));
    return true;
}

void ExportReader::PutValue(const std::string& name, RegData value) {
    const auto [it, added] = valueIndex_[key_].try_emplace(Upper(name), keys_[key_].values.size());
    if (added) {
        keys_[key_].values.emplace_back(name, std::move(value));
        valueAlive_[key_].push_back(1);
    } else {
        keys_[key_].values[it->second].second = std::move(value);
    }
}

std::vector<RegKey> ExportReader::Result() {
    std::vector<RegKey> out;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (!keyAlive_[i]) continue;
        RegKey k{std::move(keys_[i].path), {}};
        for (std::size_t j = 0; j < keys_[i].values.size(); ++j) {
            if (valueAlive_[i][j]) k.values.push_back(std::move(keys_[i].values[j]));
        }
        out.push_back(std::move(k));
    }
    return out;
}

}  // namespace

bool RegDocument::Parse(const std::string& bytes, std::string& reason) {
    keys_.clear();
    const std::vector<std::string> lines = LogicalLines(DecodeExportText(bytes));
    ExportReader reader;
    int lineNo = 0;
    for (const std::string& raw : lines) {
        if (!reader.Line(raw, ++lineNo, reason)) return false;
    }
    if (!reader.SawHeader()) {
        for (const auto& l : lines) {
            if (!Trim(l).empty()) {
                reason = "not a registry export file (no header line)";
                return false;
            }
        }
    }
    keys_ = reader.Result();
    return true;
}

std::string RegDocument::Serialize() const {
    std::string out = std::string(kHeader5) + "\r\n";
    for (const RegKey& k : keys_) {
        out += "\r\n[" + k.path + "]\r\n";
        for (const auto& [name, v] : k.values) {
            out += name.empty() ? std::string("@") : QuoteText(name);
            out += '=';
            const auto& d = v.data;
            const bool plainText = v.type == 1 && !d.empty() && d.back() == 0 &&
                                   std::count(d.begin(), d.end(), 0) == 1 &&
                                   std::find_if(d.begin(), d.end(), [](std::uint8_t c) {
                                       return c == '\r' || c == '\n';
                                   }) == d.end();
            char buf[32];
            if (plainText) {
                out += QuoteText(std::string(d.begin(), d.end() - 1));
            } else if (v.type == 4 && d.size() == 4) {
                std::snprintf(
                    buf, sizeof buf, "dword:%08x",
                    d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<unsigned>(d[3]) << 24));
                out += buf;
            } else if (v.type == 3) {
                out += "hex:" + HexBytes(d);
            } else {
                std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
                out += buf;
                out += HexBytes(IsTextType(v.type) ? Utf8ToUtf16(d) : d);
            }
            out += "\r\n";
        }
    }
    return out;
}

}  // namespace bw
