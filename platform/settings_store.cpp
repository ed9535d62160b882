#include "platform/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_map>

namespace bw {

namespace {

constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && Upper(a) == Upper(b);
}

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

/// UTF-16LE bytes to UTF-8; nulls are kept as null characters.
std::string Utf16ToUtf8(const std::uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        std::uint32_t u = p[i] | (p[i + 1] << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < n) {
            const std::uint32_t lo = p[i + 2] | (p[i + 3] << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, u);
    }
    return out;
}

/// 8-bit text (UTF-8 where it is valid, otherwise Latin-1) to UTF-16LE bytes.
std::vector<std::uint8_t> Utf8ToUtf16(const std::vector<std::uint8_t>& s) {
    std::vector<std::uint8_t> out;
    auto put = [&out](std::uint32_t u) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    for (std::size_t i = 0; i < s.size();) {
        const std::uint8_t c = s[i];
        std::uint32_t cp = c;
        std::size_t len = 1;
        if (c >= 0xC0 && c < 0xE0 && i + 1 < s.size() && (s[i + 1] & 0xC0) == 0x80) {
            cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            len = 2;
        } else if (c >= 0xE0 && c < 0xF0 && i + 2 < s.size() && (s[i + 1] & 0xC0) == 0x80 &&
                   (s[i + 2] & 0xC0) == 0x80) {
            cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            len = 3;
        } else if (c >= 0xF0 && c < 0xF8 && i + 3 < s.size() && (s[i + 1] & 0xC0) == 0x80 &&
                   (s[i + 2] & 0xC0) == 0x80 && (s[i + 3] & 0xC0) == 0x80) {
            cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
                 (s[i + 3] & 0x3F);
            len = 4;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
        i += len;
    }
    return out;
}

std::string QuoteText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

/// Reads a quoted text starting at s[pos] == '"'; pos ends after the closing quote.
bool UnquoteText(const std::string& s, std::size_t& pos, std::string& out) {
    out.clear();
    ++pos;
    while (pos < s.size()) {
        const char c = s[pos++];
        if (c == '"') return true;
        if (c == '\\' && pos < s.size()) {
            out += s[pos++];
        } else {
            out += c;
        }
    }
    return false;
}

bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>& out) {
    out.clear();
    std::string t;
    for (char c : text) {
        if (c != ' ' && c != '\t') t += c;
    }
    if (t.empty()) return true;
    std::size_t pos = 0;
    while (pos <= t.size()) {
        const std::size_t comma = t.find(',', pos);
        const std::string piece =
            t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (piece.empty() || piece.size() > 2) return false;
        char* end = nullptr;
        const long v = std::strtol(piece.c_str(), &end, 16);
        if (*end != '\0') return false;
        out.push_back(static_cast<std::uint8_t>(v));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return true;
}

std::string HexBytes(const std::vector<std::uint8_t>& data) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        if (i > 0) out += ',';
        out += buf;
    }
    return out;
}

bool IsTextType(std::uint32_t type) {
    return type == 1 || type == 2 || type == 7;
}

}  // namespace

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

bool RegDocument::Parse(const std::string& bytes, std::string& reason) {
    keys_.clear();
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text =
            Utf16ToUtf8(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = bytes.substr(3);
    } else {
        text = bytes;
    }

    // Split into logical lines: CR LF, LF or CR end a line; a value line ending
    // in "\" goes on in the next line.
    std::vector<std::string> lines;
    std::string cur;
    std::string logical;
    // Only the ends of the growing line are looked at, so a value continued
    // over many thousands of lines is joined in linear time.
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

    // Keys and values are looked up through hash indexes while reading, so an
    // export of a whole hive (many thousands of keys and values) reads in
    // linear time. Deleted keys and values are only marked here and left out
    // at the end, so that the indexes stay valid.
    std::vector<RegKey> keys;
    std::vector<char> keyAlive;
    std::vector<std::vector<char>> valueAlive;
    std::vector<std::unordered_map<std::string, std::size_t>> valueIndex;
    std::unordered_map<std::string, std::size_t> keyIndex;  // upper-case path of a live key
    constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);
    std::size_t key = kNoKey;

    bool sawHeader = false;
    bool wideStrings = true;
    int lineNo = 0;
    for (const std::string& raw : lines) {
        ++lineNo;
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == ';') continue;
        if (!sawHeader) {
            if (line == kHeader5) {
                wideStrings = true;
            } else if (line == kHeader4) {
                wideStrings = false;
            } else {
                reason = "not a registry export file (no header line)";
                return false;
            }
            sawHeader = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                reason = "bad key line " + std::to_string(lineNo);
                return false;
            }
            std::string path = line.substr(1, line.size() - 2);
            if (!path.empty() && path[0] == '-') {
                path.erase(0, 1);
                const std::string upper = Upper(path);
                const std::string prefix = upper + "\\";
                for (std::size_t i = 0; i < keys.size(); ++i) {
                    if (!keyAlive[i]) continue;
                    const std::string k = Upper(keys[i].path);
                    if (k == upper || k.rfind(prefix, 0) == 0) {
                        keyAlive[i] = 0;
                        keyIndex.erase(k);
                    }
                }
                key = kNoKey;
                continue;
            }
            const auto [it, added] = keyIndex.try_emplace(Upper(path), keys.size());
            if (added) {
                keys.push_back({path, {}});
                keyAlive.push_back(1);
                valueAlive.emplace_back();
                valueIndex.emplace_back();
            }
            key = it->second;
            continue;
        }
        if (key == kNoKey) {
            reason = "value outside a key in line " + std::to_string(lineNo);
            return false;
        }
        std::string name;
        std::size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            if (!UnquoteText(line, pos, name)) {
                reason = "bad value name in line " + std::to_string(lineNo);
                return false;
            }
        } else {
            reason = "bad line " + std::to_string(lineNo);
            return false;
        }
        while (pos < line.size() && line[pos] == ' ') ++pos;
        if (pos >= line.size() || line[pos] != '=') {
            reason = "missing \"=\" in line " + std::to_string(lineNo);
            return false;
        }
        const std::string data = Trim(line.substr(pos + 1));
        if (data == "-") {
            const auto it = valueIndex[key].find(Upper(name));
            if (it != valueIndex[key].end()) {
                valueAlive[key][it->second] = 0;
                valueIndex[key].erase(it);
            }
            continue;
        }
        RegData value;
        bool ok = true;
        if (!data.empty() && data[0] == '"') {
            std::size_t p = 0;
            std::string s;
            ok = UnquoteText(data, p, s) && Trim(data.substr(p)).empty();
            value = RegText(1, s);
        } else if (Upper(data).rfind("DWORD:", 0) == 0) {
            char* end = nullptr;
            const std::string digits = data.substr(6);
            const unsigned long v = std::strtoul(digits.c_str(), &end, 16);
            ok = !digits.empty() && digits.size() <= 8 && *end == '\0';
            value = RegDword(static_cast<std::uint32_t>(v));
        } else if (Upper(data).rfind("HEX", 0) == 0) {
            std::size_t colon = data.find(':');
            value.type = 3;
            if (ok && colon != std::string::npos && data[3] == '(') {
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
        } else {
            ok = false;
        }
        if (!ok) {
            reason = "bad value in line " + std::to_string(lineNo);
            return false;
        }
        const auto [it, added] = valueIndex[key].try_emplace(Upper(name), keys[key].values.size());
        if (added) {
            keys[key].values.emplace_back(name, std::move(value));
            valueAlive[key].push_back(1);
        } else {
            keys[key].values[it->second].second = std::move(value);
        }
    }
    if (!sawHeader && !lines.empty()) {
        for (const auto& l : lines) {
            if (!Trim(l).empty()) {
                reason = "not a registry export file (no header line)";
                return false;
            }
        }
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!keyAlive[i]) continue;
        RegKey k{std::move(keys[i].path), {}};
        for (std::size_t j = 0; j < keys[i].values.size(); ++j) {
            if (valueAlive[i][j]) k.values.push_back(std::move(keys[i].values[j]));
        }
        keys_.push_back(std::move(k));
    }
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

// --- RegFileStore ---------------------------------------------------------------

namespace {

std::string FullPath(std::int32_t root, const std::string& keyPath) {
    const std::string r = RootKeyName(root);
    return keyPath.empty() ? r : r + "\\" + keyPath;
}

bool ReadAll(int fd, std::string& out) {
    out.clear();
    char buf[8192];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ErrText(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

bool IsRegularFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

SettingsStore::Result RegFileStore::Query(std::int32_t root, const std::string& keyPath,
                                          const std::string& name, RegData& out,
                                          std::string& reason) {
    if (RootKeyName(root).empty()) {
        reason = "unknown root key";
        return Result::kFailed;
    }
    // Non-blocking: a pipe in place of the store must not hold up the start.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return Result::kMissing;
        reason = ErrText(path_, errno);
        return Result::kFailed;
    }
    if (!IsRegularFile(fd)) {
        reason = path_ + ": not a regular file";
        ::close(fd);
        return Result::kFailed;
    }
    std::string bytes;
    const bool ok = ReadAll(fd, bytes);
    const int err = errno;
    ::close(fd);
    if (!ok) {
        reason = ErrText(path_, err);
        return Result::kFailed;
    }
    RegDocument doc;
    if (!doc.Parse(bytes, reason)) {
        reason = path_ + ": " + reason;
        return Result::kFailed;
    }
    const RegData* v = doc.Find(FullPath(root, keyPath), name);
    if (v == nullptr) return Result::kMissing;
    out = *v;
    return Result::kOk;
}

SettingsStore::Result RegFileStore::Set(std::int32_t root, const std::string& keyPath,
                                        const std::string& name, const RegData& value,
                                        std::string& reason) {
    if (RootKeyName(root).empty()) {
        reason = "unknown root key";
        return Result::kOpenFailed;
    }
    namespace fs = std::filesystem;
    const fs::path file(path_);
    std::error_code ec;
    if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);

    // Lock the store file itself. Another writer may have replaced it between
    // our open and our lock; then the lock is on a dead file and we start over.
    // Each retry means another writer finished a change, so a busy store can
    // make us retry many times, but never for ever.
    int fd = -1;
    for (int attempt = 0; attempt < 100000; ++attempt) {
        fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd < 0) {
            reason = ErrText(path_, errno);
            return Result::kOpenFailed;
        }
        if (!IsRegularFile(fd)) {
            reason = path_ + ": not a regular file";
            ::close(fd);
            return Result::kOpenFailed;
        }
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                reason = ErrText(path_, errno);
                ::close(fd);
                return Result::kOpenFailed;
            }
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::stat(path_.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            break;
        }
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        reason = path_ + ": the file keeps being replaced";
        return Result::kOpenFailed;
    }

    std::string bytes;
    RegDocument doc;
    if (!ReadAll(fd, bytes)) {
        reason = ErrText(path_, errno);
        ::close(fd);
        return Result::kOpenFailed;
    }
    if (!doc.Parse(bytes, reason)) {
        // Never overwrite a store we cannot understand.
        reason = path_ + ": " + reason;
        ::close(fd);
        return Result::kOpenFailed;
    }
    doc.Set(FullPath(root, keyPath), name, value);
    const std::string text = doc.Serialize();

    struct stat old {};
    ::fstat(fd, &old);
    std::string tmp = path_ + ".XXXXXX";
    const int tfd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (tfd < 0) {
        reason = ErrText(tmp, errno);
        ::close(fd);
        return Result::kWriteFailed;
    }
    ::fchmod(tfd, old.st_mode & 07777);
    bool ok = WriteAll(tfd, text) && ::fsync(tfd) == 0;
    int err = errno;
    ok = (::close(tfd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), path_.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        reason = ErrText(path_, err);
        ::close(fd);
        return Result::kWriteFailed;
    }
    const std::string dir = file.has_parent_path() ? file.parent_path().string() : ".";
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    ::close(fd);  // releases the lock
    return Result::kOk;
}

// --- MemorySettingsStore ----------------------------------------------------------

SettingsStore::Result MemorySettingsStore::Query(std::int32_t root, const std::string& keyPath,
                                                 const std::string& name, RegData& out,
                                                 std::string& reason) {
    if (failReads) {
        reason = "simulated read failure";
        return Result::kFailed;
    }
    const RegData* v = doc.Find(FullPath(root, keyPath), name);
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
    doc.Set(FullPath(root, keyPath), name, value);
    return Result::kOk;
}

std::string MachineRegistryPath() {
    const char* env = std::getenv("BW_REGISTRY");
    if (env != nullptr && *env != '\0') return env;
    return "/etc/brimwarden/registry.reg";
}

std::string UserRegistryPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && *xdg != '\0') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/brimwarden/registry.reg";
}

}  // namespace bw
