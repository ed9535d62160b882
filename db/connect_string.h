// Where the database connection strings come from: "DBConnect" + suffix +
// ".dat" (suffix "" for the primary, "1" to "50" for the alternatives),
// looked for beside the executable first, then in the application folder.
// The first line of the file is the string, used exactly as read. Nothing is
// cached: every call reads the file again.
// DIAGNOSTICS: a missing or unreadable file gives ""; one that is not a
// regular file (a pipe, a folder) is named in the event log (host/textfile.h).
#pragma once

#include <string>

namespace bw {

/// The two folders the connection-string files are looked for in.
class SettingsFiles;

struct ConnectStrings {
    std::string exeFolder;  // the executable's folder (tests: a folder of their own)
    std::string appPath;    // the application folder, ending with "/"
    /// The guarded reader that names an unusable file in the journal; without
    /// one the files are read with the same checks, silently.
    SettingsFiles* files = nullptr;

    /// The connection string of the file with this suffix, or "" when there
    /// is no such file or its first line is empty.
    std::string GetDBConnect(const std::string& suffix) const;
};

/// The connection string a file's text holds: its first line, up to the
/// first CR or LF, nothing trimmed.
std::string ConnectStringFromText(const std::string& text);

/// Highest alternative suffix that is ever tried.
constexpr int kMaxAlternativeDB = 50;

}  // namespace bw
