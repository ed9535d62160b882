// Language strings: texts shown to a person are looked up in the language
// file of the language folder (AppPath + "lang/") named langFile. A header line "[" + the English
// text in upper case + "]" starts an entry; the last line before the next header of another text is
// the translation. The file is read afresh on every lookup. DIAGNOSTICS: a missing entry or a
// missing file gives an empty text.
#pragma once

#include <string>
#include <vector>

namespace bw {

class SettingsFiles;

/// The translation of key in the language file `langFilePath` (LangFilePath).
std::string LangText(SettingsFiles& files, const std::string& langFilePath, const std::string& key);
/// The translation of key among the lines of a language file ("" when none).
std::string FindLangText(const std::vector<std::string>& lines, const std::string& key);

/// langFolder + langFile; when no file has exactly that name, the one whose
/// name differs only in letter case.
std::string LangFilePath(const std::string& langFolder, const std::string& langFile);

/// The language names offered by the selection: every "*.lng" file of the
/// language folder without its ending, sorted by name.
std::vector<std::string> ListLanguages(const std::string& langFolder);

}  // namespace bw
