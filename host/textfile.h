// Reading 8-bit text files line by line: CR LF or a lone CR ends a line. A
// lone LF does not for INI files; the plain lists (language files, account
// data, forwarded domains) also take LF, since Linux editors write it.
#pragma once

#include <string>
#include <vector>

namespace bw {

/// False when the file cannot be opened or read, or is no regular file (a
/// folder, a pipe, a device); `lines` then holds what was read.
bool ReadTextLines(const std::string& path, std::vector<std::string>& lines,
                   bool bLfEndsLine = true);
/// The lines of a text already read, split as ReadTextLines splits a file.
std::vector<std::string> SplitTextLines(const std::string& data, bool bLfEndsLine = true);

std::string UpperAscii(std::string s);
/// Blanks (spaces) removed on the left, the right, or both sides.
std::string LTrimBlanks(const std::string& s);
std::string TrimBlanks(const std::string& s);
/// Case-insensitive "text begins with prefix".
bool StartsWithNoCase(const std::string& text, const std::string& prefix);

}  // namespace bw
