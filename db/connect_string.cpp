#include "db/connect_string.h"

#include "host/paths.h"
#include "host/textfile.h"

namespace bw {

std::string ConnectStrings::GetDBConnect(const std::string& suffix) const {
    const std::string name = "DBConnect" + suffix + ".dat";
    std::string path = exeFolder + "/" + name;
    if (PathExists(path) == 0) {
        path = appPath + name;
        if (PathExists(path) == 0) return "";
    }
    // One line up to the first line break (CR LF, CR or LF); nothing trimmed.
    std::string data;
    if (files != nullptr) {
        files->Read(path, data);
    } else {
        const std::string accPath = appPath + "TarnIN/";
        SettingsFiles(appPath, accPath, {}).Read(path, data);
    }
    return ConnectStringFromText(data);
}

std::string ConnectStringFromText(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace bw
