#include "db/connect_string.h"

#include "host/globals.h"
#include "host/paths.h"
#include "host/textfile.h"

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
    // One line up to the first line break (CR LF, CR or LF); nothing trimmed.
    std::string data;
    G().files->Read(path, data);
    return ConnectStringFromText(data);
}

std::string ConnectStringFromText(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace bw
