// mdINIBas: single values of INI files (section header lines "[name]" and key
// lines "key=value"). Every call loads the whole file into INILines, edits
// that array and, for a write, writes the whole file back with its layout
// normalised: lines trimmed, CR LF line ends, exactly one empty line before
// every section header but the first line, no other empty lines.
// A write goes to a temporary file of its own in the same folder, flushed to
// disk and renamed over the file; a file that is a link (or anything but a
// regular file) is neither read through nor replaced.
// DIAGNOSTICS: a file that cannot be read behaves as an empty file (reads
// give the default, a write creates it); WriteINIValue reports false when the
// file cannot be written, and the event log names a file that is a link or
// not a regular file (host/textfile.h). Names holding "[", "]" or "=" are not
// supported.
#pragma once

#include <string>
#include <vector>

namespace bw {

std::string ReadINI(const std::string& sFile, const std::string& sSection, const std::string& sKey);
bool WriteINI(const std::string& sFile, const std::string& sSection, const std::string& sKey,
              const std::string& sValue);
std::string ReadINIValue(const std::string& sSection, const std::string& sKey,
                         const std::string& sDefault, const std::string& sFile);
bool WriteINIValue(const std::string& sSection, const std::string& sKey, const std::string& sValue,
                   const std::string& sFile);

/// True when the name holds none of "[", "]" and "=".
bool IsValidININame(const std::string& sName);

namespace ini_detail {
// The module's working array and its internal steps, open for tests.
extern std::vector<std::string> INILines;
void LoadINIFile(const std::string& sFile);
bool SaveINIFile(const std::string& sFile);
/// LoadINIFile and SaveINIFile without the file: the array from a file's
/// text, and the text the array is saved as.
void LoadINIText(const std::string& text);
std::string INIText();
/// ReadINIValue and WriteINIValue on the array as loaded.
std::string GetINIValue(const std::string& sSection, const std::string& sKey,
                        const std::string& sDefault);
void SetINIValue(const std::string& sSection, const std::string& sKey, const std::string& sValue);
bool FindINILine(int& iPos, const std::string& sSearch, bool bStopAtSection);
void InsertINILine(const std::string& sText, int& iPos);
}  // namespace ini_detail

}  // namespace bw
