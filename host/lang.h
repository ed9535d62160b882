// Language strings: texts shown to a person are looked up in the language
// file AppPath + "lang/" + sLangFile. A header line "[" + the English text in
// upper case + "]" starts an entry; the last line before the next header of
// another text is the translation. The file is read afresh on every lookup.
// DIAGNOSTICS: a missing entry or a missing file gives an empty text.
#pragma once

#include <string>
#include <vector>

namespace bw {

std::string LangText(const std::string& sKey);
/// The translation of sKey among the lines of a language file ("" when none).
std::string FindLangText(const std::vector<std::string>& lines, const std::string& sKey);

/// AppPath + "lang/" + sLangFile; when no file has exactly that name, the one
/// whose name differs only in letter case.
std::string LangFilePath();

/// The language names offered by the selection: every "*.lng" file of
/// AppPath + "lang/" without its ending, sorted by name.
std::vector<std::string> ListLanguages();

}  // namespace bw
