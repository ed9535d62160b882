// Reading 8-bit text files line by line: CR LF or a lone CR ends a line. A
// lone LF does not for INI files (an INI file with LF line ends only is named
// in the event log, once); the plain lists (language files, account data,
// forwarded domains) also take LF, since Linux editors write it.
// Every settings and list file is opened here: without blocking (a pipe in
// place of a file never holds up the daemon), used only when it is a regular
// file, and, below the account folder (AppPath + "TarnIN/", or AccPath), never
// through a symbolic link.
// DIAGNOSTICS: a file that exists but cannot be used (not a regular file, a
// link below the account folder, no permission) is named in the event log
// (the journal; bwpolicy: standard error) once for each reason, until it
// opens again. A
// missing file is no event.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace bw {

/// The lines of a text already read, split as SettingsFiles::ReadLines splits a file.
std::vector<std::string> SplitTextLines(const std::string& data, bool lfEndsLine = true);

/// Opens and reads the settings and list files with the checks above, and
/// names each unusable file once in the event log. The account folder is
/// taken from the two paths it is given, read on every open (the start-up
/// fills them in later).
class SettingsFiles {
  public:
    using EventLog = std::function<void(const std::string& text)>;
    /// `appPath`, `accPath`: referenced, not copied. `log` may be empty.
    /// Keeps references to both paths (the start-up learns them later): they
    /// must outlive this object.
    SettingsFiles(const std::string& appPath, const std::string& accPath, EventLog log);

    /// False when the file cannot be opened or read, or is no regular file (a
    /// folder, a pipe, a device); `lines` then holds what was read.
    bool ReadLines(const std::string& path, std::vector<std::string>& lines,
                   bool lfEndsLine = true);
    /// The whole content of a settings or list file.
    bool Read(const std::string& path, std::string& data);
    /// Opens a settings or list file (`flags`: O_RDONLY, or O_WRONLY | O_CREAT):
    /// non-blocking, O_NOFOLLOW below the account folder, a regular file only.
    /// The descriptor is in blocking mode again; -1 (and the event) when the
    /// file cannot be used.
    int Open(const std::string& path, int flags);

    /// True when `path` lies below the account folder.
    bool BelowAccountFolder(const std::string& path) const;

    /// Names a settings file that cannot be used in the event log, once per
    /// file and reason until ForgetProblem(path).
    void ReportProblem(const std::string& path, const std::string& why);
    void ForgetProblem(const std::string& path);

  private:
    const std::string& appPath_;
    const std::string& accPath_;
    EventLog log_;
    std::set<std::string> reported_;  // path + NUL + reason
};

/// Blanks (spaces) removed on the left, the right, or both sides.
std::string LTrimBlanks(const std::string& s);
std::string TrimBlanks(const std::string& s);
/// Case-insensitive "text begins with prefix".
bool StartsWithNoCase(const std::string& text, const std::string& prefix);

}  // namespace bw
