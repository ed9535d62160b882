#include "host/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/textfile.h"

namespace bw {

namespace ini_detail {

std::vector<std::string> INILines;

namespace {

void LoadINILines(const std::vector<std::string>& lines) {
    INILines.assign(2, std::string());
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
        if (static_cast<int>(INILines.size()) < n + 1) INILines.resize(n + 1);
        INILines[n] = line;
    }
}

}  // namespace

void LoadINIFile(const std::string& sFile) {
    std::vector<std::string> lines;
    ReadTextLines(sFile, lines, false);  // an unreadable file leaves no lines
    LoadINILines(lines);
}

void LoadINIText(const std::string& text) {
    LoadINILines(SplitTextLines(text, false));
}

std::string INIText() {
    // Empty elements become one empty line, and only between two written lines:
    // no leading or trailing empty lines, runs of them shrink to one.
    std::string out;
    bool pendingEmpty = false;
    bool wroteAny = false;
    for (std::size_t i = 1; i < INILines.size(); ++i) {
        const std::string line = TrimBlanks(INILines[i]);
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

bool SaveINIFile(const std::string& sFile) {
    const std::string out = INIText();
    // The new content goes to a temporary file of its own in the same folder
    // that replaces the old file only when complete and on disk: a crash never
    // leaves half an account file behind, and two writers never share a file.
    // A link or anything else that is not a regular file is not replaced.
    struct stat old {};
    const bool exists = ::lstat(sFile.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        ReportFileProblem(sFile, S_ISLNK(old.st_mode) ? "a symbolic link, not replaced"
                                                      : "not a regular file, not replaced");
        return false;
    }
    const std::size_t slash = sFile.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : sFile.substr(0, slash);
    std::string tmp = sFile + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        ReportFileProblem(sFile, std::string("cannot be written: ") + std::strerror(errno));
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
    if (ok) ok = ::rename(tmp.c_str(), sFile.c_str()) == 0;
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

bool FindINILine(int& iPos, const std::string& sSearch, bool bStopAtSection) {
    const int n = static_cast<int>(INILines.size()) - 1;
    int last = 0;
    bool found = false;
    ++iPos;
    while (iPos <= n) {
        const std::string& line = INILines[iPos];
        if (!line.empty()) last = iPos;
        if (bStopAtSection && !line.empty() && line[0] == '[') break;
        std::string cmp;
        if (bStopAtSection) {
            const std::size_t eq = line.find('=');
            if (eq != std::string::npos) {
                cmp = LTrimBlanks(line.substr(0, eq)) + "=" + line.substr(eq + 1);
            }
        } else {
            cmp = TrimBlanks(line);
        }
        if (StartsWithNoCase(cmp, sSearch)) {
            found = true;
            break;
        }
        ++iPos;
    }
    if (iPos > last) INILines.emplace_back();
    iPos = last;
    return found;
}

void InsertINILine(const std::string& sText, int& iPos) {
    INILines.emplace_back();
    const int top = static_cast<int>(INILines.size()) - 1;
    if (iPos == 0) {
        iPos = top;
    } else {
        for (int i = top; i > iPos; --i) INILines[i] = INILines[i - 1];
    }
    INILines[iPos] = sText;
}

}  // namespace ini_detail

using namespace ini_detail;

bool IsValidININame(const std::string& sName) {
    return sName.find_first_of("[]=") == std::string::npos;
}

std::string ini_detail::GetINIValue(const std::string& sSection, const std::string& sKey,
                                    const std::string& sDefault) {
    int pos = 0;
    if (!FindINILine(pos, "[" + sSection + "]", false)) return sDefault;
    if (!FindINILine(pos, sKey + "=", true)) return sDefault;
    const std::string& line = INILines[pos];
    return LTrimBlanks(line.substr(line.find('=') + 1));
}

void ini_detail::SetINIValue(const std::string& sSection, const std::string& sKey,
                             const std::string& sValue) {
    int pos = 0;
    const std::string keyLine = sKey + "=" + sValue;
    if (!FindINILine(pos, "[" + sSection + "]", false)) {
        int at = 0;
        if (!INILines[pos].empty()) InsertINILine("", at);
        at = 0;
        InsertINILine("[" + sSection + "]", at);
        at = 0;
        InsertINILine(keyLine, at);
    } else {
        const int header = pos;
        if (FindINILine(pos, sKey + "=", true)) {
            INILines[pos] = keyLine;
        } else {
            int at = header + 1;
            InsertINILine(keyLine, at);
        }
    }
}

std::string ReadINIValue(const std::string& sSection, const std::string& sKey,
                         const std::string& sDefault, const std::string& sFile) {
    LoadINIFile(sFile);
    return GetINIValue(sSection, sKey, sDefault);
}

bool WriteINIValue(const std::string& sSection, const std::string& sKey, const std::string& sValue,
                   const std::string& sFile) {
    LoadINIFile(sFile);
    SetINIValue(sSection, sKey, sValue);
    return SaveINIFile(sFile);
}

std::string ReadINI(const std::string& sFile, const std::string& sSection,
                    const std::string& sKey) {
    return ReadINIValue(sSection, sKey, "", sFile);
}

bool WriteINI(const std::string& sFile, const std::string& sSection, const std::string& sKey,
              const std::string& sValue) {
    return WriteINIValue(sSection, sKey, sValue, sFile);
}

}  // namespace bw
