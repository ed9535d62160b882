#include "db/connect_string.h"

#include <fstream>

#include "host/globals.h"
#include "host/paths.h"

namespace bw {

namespace {
std::string& ExeFolderOverride() {
    static std::string folder;
    return folder;
}
}  // namespace

void SetDBConnectExeFolder(const std::string& folder) {
    ExeFolderOverride() = folder;
}

std::string GetDBConnect(const std::string& sSuffix) {
    const std::string name = "DBConnect" + sSuffix + ".dat";
    const std::string exeFolder = ExeFolderOverride().empty() ? ExeFolder() : ExeFolderOverride();
    std::string path = exeFolder + "/" + name;
    if (PathExists(path) == 0) {
        path = G().AppPath + name;
        if (PathExists(path) == 0) return "";
    }
    // Only the first line counts; the rest of the file is not read.
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char c = 0;
    while (in.get(c)) {
        text += c;
        if (c == '\r' || c == '\n') break;
    }
    return ConnectStringFromText(text);
}

std::string ConnectStringFromText(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace bw
