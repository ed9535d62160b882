// Where the database connection strings come from: "DBConnect" + suffix +
// ".dat" (suffix "" for the primary, "1" to "50" for the alternatives),
// looked for beside the executable first, then in AppPath. The first line of
// the file is the string, used exactly as read. Nothing is cached: every
// call reads the file again.
// DIAGNOSTICS: a missing or unreadable file gives ""; one that is not a
// regular file (a pipe, a folder) is named in the event log (host/textfile.h).
#pragma once

#include <string>

namespace bw {

/// The connection string of the file with this suffix, or "" when there is
/// no such file or its first line is empty.
std::string GetDBConnect(const std::string& sSuffix);

/// The connection string a file's text holds: its first line, up to the
/// first CR or LF, nothing trimmed.
std::string ConnectStringFromText(const std::string& text);

/// Highest alternative suffix that is ever tried.
constexpr int kMaxAlternativeDB = 50;

/// Makes GetDBConnect look in `folder` instead of the executable's folder
/// ("" restores the real one). For tests, which must not write beside the
/// test program.
void SetDBConnectExeFolder(const std::string& folder);

}  // namespace bw
