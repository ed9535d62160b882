// mdINIBas: single values of INI files (section header lines "[name]" and key
// lines "key=value"). Every call loads the whole file into an IniDocument, edits
// that array (IniDocument) and, for a write, writes the whole file back with its layout
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

class SettingsFiles;

std::string ReadINI(SettingsFiles& files, const std::string& iniPath, const std::string& section,
                    const std::string& key);
bool WriteINI(SettingsFiles& files, const std::string& iniPath, const std::string& section,
              const std::string& key, const std::string& value);
std::string ReadINIValue(SettingsFiles& files, const std::string& section, const std::string& key,
                         const std::string& defaultValue, const std::string& iniPath);
bool WriteINIValue(SettingsFiles& files, const std::string& section, const std::string& key,
                   const std::string& value, const std::string& iniPath);

/// True when the name holds none of "[", "]" and "=".
bool IsValidININame(const std::string& name);

/// One INI file's lines as loaded (element 0 unused, an empty element where
/// the saved file has an empty line), the working array of one read or write.
class IniDocument {
  public:
    /// The array from a file's lines (empty lines dropped, one empty element
    /// before every header below the first line).
    void Load(const std::vector<std::string>& lines);
    /// Load on a file's text, split as an INI file is split.
    void LoadText(const std::string& text);
    /// The text the array is saved as.
    std::string Text() const;
    std::string Get(const std::string& section, const std::string& key,
                    const std::string& defaultValue);
    void Set(const std::string& section, const std::string& key, const std::string& value);
    const std::vector<std::string>& Lines() const { return lines_; }

  private:
    bool FindLine(int& pos, const std::string& prefix, bool stopAtSection);
    void InsertLine(const std::string& text, int& pos);
    std::vector<std::string> lines_;
};

/// The file's document (an unreadable file gives an empty one).
IniDocument LoadINIFile(SettingsFiles& files, const std::string& iniPath);
/// Writes the document as the file (a temporary file renamed over it).
bool SaveINIFile(SettingsFiles& files, const std::string& iniPath, const IniDocument& doc);

}  // namespace bw
