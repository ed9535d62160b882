#include "host/lang.h"

#include <algorithm>
#include <filesystem>

#include "host/paths.h"
#include "host/textfile.h"
#include "platform/ascii_text.h"

namespace bw {

std::string LangFilePath(const std::string& folder, const std::string& langFile) {
    const std::string exact = folder + langFile;
    if (PathExists(exact)) return exact;
    // Language names are compared without regard to case: "german" in the
    // settings names "German.lng", and a listed "French.LNG" is "French".
    const std::string wanted = UpperAscii(langFile);
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = e.path().filename().string();
        if (UpperAscii(name) == wanted && !e.is_directory(ec)) return folder + name;
    }
    return exact;
}

std::string LangText(SettingsFiles& files, const std::string& langFilePath,
                     const std::string& key) {
    std::vector<std::string> lines;
    if (!files.ReadLines(langFilePath, lines)) return "";
    return FindLangText(lines, key);
}

std::string FindLangText(const std::vector<std::string>& lines, const std::string& key) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "[" + temporary.
    std::string header(1, '[');
    header += UpperAscii(key);
    header += ']';
    std::string result;
    bool inEntry = false;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '[') {
            if (UpperAscii(line) == header) {
                inEntry = true;  // a repeated header goes on with the same entry
            } else if (inEntry) {
                break;  // the first matching entry is complete
            }
        } else if (inEntry) {
            result = line;
        }
    }
    return result;
}

std::vector<std::string> ListLanguages(const std::string& langFolder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(langFolder, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() > 4 && UpperAscii(name.substr(name.size() - 4)) == ".LNG" &&
            !e.is_directory(ec)) {
            names.push_back(name.substr(0, name.size() - 4));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace bw
