#include "host/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/textfile.h"

namespace bw {

void IniDocument::Load(const std::vector<std::string>& lines) {
    lines_.assign(2, std::string());
    int n = 0;
    for (const std::string& raw : lines) {
        ++n;
        const std::string line = LTrimBlanks(raw);
        if (line.empty()) {
            --n;
            continue;
        }
        // Every header below the first line gets an empty element before it.
        if (line[0] == '[' && n >= 2) ++n;
        if (static_cast<int>(lines_.size()) < n + 1) lines_.resize(n + 1);
        lines_[n] = line;
    }
}

void IniDocument::LoadText(const std::string& text) {
    Load(SplitTextLines(text, false));
}

IniDocument LoadINIFile(SettingsFiles& files, const std::string& iniPath) {
    std::vector<std::string> lines;
    files.ReadLines(iniPath, lines, false);  // an unreadable file leaves no lines
    IniDocument doc;
    doc.Load(lines);
    return doc;
}

std::string IniDocument::Text() const {
    // Empty elements become one empty line, and only between two written lines:
    // no leading or trailing empty lines, runs of them shrink to one.
    std::string out;
    bool pendingEmpty = false;
    bool wroteAny = false;
    for (std::size_t i = 1; i < lines_.size(); ++i) {
        const std::string line = TrimBlanks(lines_[i]);
        if (line.empty()) {
            pendingEmpty = wroteAny;
            continue;
        }
        if (pendingEmpty) out += "\r\n";
        pendingEmpty = false;
        out += line + "\r\n";
        wroteAny = true;
    }
    return out;
}

bool SaveINIFile(SettingsFiles& files, const std::string& iniPath, const IniDocument& doc) {
    const std::string out = doc.Text();
    // The new content goes to a temporary file of its own in the same folder
    // that replaces the old file only when complete and on disk: a crash never
    // leaves half an account file behind, and two writers never share a file.
    // A link or anything else that is not a regular file is not replaced.
    struct stat old {};
    const bool exists = ::lstat(iniPath.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        files.ReportProblem(iniPath, S_ISLNK(old.st_mode) ? "a symbolic link, not replaced"
                                                        : "not a regular file, not replaced");
        return false;
    }
    const std::size_t slash = iniPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : iniPath.substr(0, slash);
    std::string tmp = iniPath + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        files.ReportProblem(iniPath, std::string("cannot be written: ") + std::strerror(errno));
        return false;
    }
    ::fchmod(fd, exists ? old.st_mode & 07777 : 0644);
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < out.size()) {
        const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(tmp.c_str(), iniPath.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);  // the rename itself on disk
        ::close(dfd);
    }
    return true;
}

bool IniDocument::FindLine(int& pos, const std::string& prefix, bool stopAtSection) {
    const int n = static_cast<int>(lines_.size()) - 1;
    int last = 0;
    bool found = false;
    ++pos;
    while (pos <= n) {
        const std::string& line = lines_[pos];
        if (!line.empty()) last = pos;
        if (stopAtSection && !line.empty() && line[0] == '[') break;
        std::string cmp;
        if (stopAtSection) {
            const std::size_t eq = line.find('=');
            if (eq != std::string::npos) {
                cmp = LTrimBlanks(line.substr(0, eq)) + "=" + line.substr(eq + 1);
            }
        } else {
            cmp = TrimBlanks(line);
        }
        if (StartsWithNoCase(cmp, prefix)) {
            found = true;
            break;
        }
        ++pos;
    }
    if (pos > last) lines_.emplace_back();
    pos = last;
    return found;
}

void IniDocument::InsertLine(const std::string& text, int& pos) {
    lines_.emplace_back();
    const int top = static_cast<int>(lines_.size()) - 1;
    if (pos == 0) {
        pos = top;
    } else {
        for (int i = top; i > pos; --i) lines_[i] = lines_[i - 1];
    }
    lines_[pos] = text;
}

bool IsValidININame(const std::string& name) {
    return name.find_first_of("[]=") == std::string::npos;
}

std::string IniDocument::Get(const std::string& section, const std::string& key,
                             const std::string& defaultValue) {
    int pos = 0;
    if (!FindLine(pos, "[" + section + "]", false)) return defaultValue;
    if (!FindLine(pos, key + "=", true)) return defaultValue;
    const std::string& line = lines_[pos];
    return LTrimBlanks(line.substr(line.find('=') + 1));
}

void IniDocument::Set(const std::string& section, const std::string& key,
                      const std::string& value) {
    int pos = 0;
    const std::string keyLine = key + "=" + value;
    if (!FindLine(pos, "[" + section + "]", false)) {
        int at = 0;
        if (!lines_[pos].empty()) InsertLine("", at);
        at = 0;
        InsertLine("[" + section + "]", at);
        at = 0;
        InsertLine(keyLine, at);
    } else {
        const int header = pos;
        if (FindLine(pos, key + "=", true)) {
            lines_[pos] = keyLine;
        } else {
            int at = header + 1;
            InsertLine(keyLine, at);
        }
    }
}

std::string ReadINIValue(SettingsFiles& files, const std::string& section, const std::string& key,
                         const std::string& defaultValue, const std::string& iniPath) {
    return LoadINIFile(files, iniPath).Get(section, key, defaultValue);
}

bool WriteINIValue(SettingsFiles& files, const std::string& section, const std::string& key,
                   const std::string& value, const std::string& iniPath) {
    IniDocument doc = LoadINIFile(files, iniPath);
    doc.Set(section, key, value);
    return SaveINIFile(files, iniPath, doc);
}

std::string ReadINI(SettingsFiles& files, const std::string& iniPath, const std::string& section,
                    const std::string& key) {
    return ReadINIValue(files, section, key, "", iniPath);
}

bool WriteINI(SettingsFiles& files, const std::string& iniPath, const std::string& section,
              const std::string& key, const std::string& value) {
    return WriteINIValue(files, section, key, value, iniPath);
}

}  // namespace bw
