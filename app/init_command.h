// `bwtarnout --init [--HKCU]`: lays out a new installation the way the
// daemon's start-up would, without starting it, and says what it did and
// what the start still needs. It registers General/AppPath (the executable's
// folder when none is registered), makes TarnIN/TarnID when there is none,
// makes the folders the start-up makes (Logs/, TarnIN/ and its sub-folders;
// run by root, each with the owner of the folder it is made in), and makes
// the installation's tbl_stats row when the database answers. What it
// cannot make is listed as missing: the language file, the mail servers of
// TarnIN/AccInfo.ini, a database that does not answer.
// DIAGNOSTICS: what was done on standard output, then "Missing:" and one
// line each, or "Nothing is missing". Statuses: 0 nothing missing, 1
// something missing, 2 options that do not go together, 3 a settings store
// that cannot be read or written ("Registry Problem: ...").
#pragma once

#include <iosfwd>
#include <string>

namespace bw {

/// -1 when the arguments do not ask for --init; 0 when they do; 2
/// (kExitUsage) when they ask for it beside another option, after one line
/// on `err` that names it.
int ParseInitCommand(int argc, char** argv, std::ostream& err);

/// Runs it; `commandLine` as the start-up gets it (for "--HKCU"). The exit status.
int RunInitCommand(const std::string& commandLine, std::ostream& out);

}  // namespace bw
