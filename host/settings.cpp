#include "host/settings.h"

#include <cstdio>
#include <iostream>

#include "host/host_platform.h"
#include "host/ini.h"
#include "host/installation.h"
#include "host/paths.h"
#include "host/registry.h"
#include "host/textfile.h"
#include "platform/ascii_text.h"
#include "platform/settings_store.h"

namespace bw {

const char* const kTarnINFolders[10] = {"/Hold", "/Inbox", "/Delete", "/Trash",  "/OutQueue",
                                        "/SCHK", "/SEML",  "/Fetch",  "/TempIN", "/Outbox"};

namespace {

std::string UserKeyPath(const std::string& appName, const std::string& section) {
    return "Software\\" + appName + "\\" + section;
}

[[noreturn]] void RegistryProblem(const HostPlatform& hp, const cRegistry& reg) {
    if (!reg.StoreReason.empty()) {
        std::cerr << "BWTarnOUT: settings store: " << reg.StoreReason << std::endl;
    }
    FatalStartupError(hp, "Registry Problem: " + reg.Err.description, kExitSettings);
}

}  // namespace

Settings::Settings(const HostPlatform& platform, const Installation& installation)
    : platform_(platform), installation_(installation) {}

std::string Settings::GetSettingX(const std::string& appName, const std::string& section,
                                  const std::string& valueName, const std::string& defaultValue) const {
    if (installation_.useUserHive) {
        SettingsStore* store = platform_.userSettings;
        if (store == nullptr) return defaultValue;
        RegData d;
        std::string reason;
        if (store->Query(kHKeyCurrentUser, UserKeyPath(appName, section), valueName, d, reason) !=
            SettingsStore::Result::kOk) {
            return defaultValue;
        }
        cRegistry reg(*store);  // same conversion of the stored data to text
        reg.ClassKey = kHKeyCurrentUser;
        reg.SectionKey = UserKeyPath(appName, section);
        reg.ValueKey = valueName;
        reg.Default = defaultValue;
        return VariantText(reg.value());
    }
    cRegistry reg(*platform_.machineSettings);
    reg.ClassKey = kHKeyLocalMachine;
    reg.SectionKey = "Software\\" + appName + "\\" + section;
    reg.ValueKey = valueName;
    reg.ValueType = 1;
    reg.Default = defaultValue;
    const RegVariant v = reg.value();
    if (reg.Err.Failed()) RegistryProblem(platform_, reg);
    return VariantText(v);
}

void Settings::SaveSettingX(const std::string& appName, const std::string& section,
                            const std::string& valueName, const std::string& newValue) const {
    if (installation_.useUserHive) {
        SettingsStore* store = platform_.userSettings;
        if (store == nullptr) return;
        std::string reason;
        store->Set(kHKeyCurrentUser, UserKeyPath(appName, section), valueName, RegText(1, newValue),
                   reason);  // errors of the per-user store are ignored
        return;
    }
    cRegistry reg(*platform_.machineSettings);
    reg.ClassKey = kHKeyLocalMachine;
    reg.SectionKey = "Software\\" + appName + "\\" + section;
    reg.ValueKey = valueName;
    reg.ValueType = 1;
    reg.setValue(newValue);
    if (reg.Err.Failed()) RegistryProblem(platform_, reg);
}

std::string LocateAppPath(const Settings& settings, const std::string& exeFolder,
                          bool& registered) {
    std::string path = settings.GetSettingX(kAppName, "General", "AppPath", "*");
    registered = path != "*";
    if (!registered) path = exeFolder;
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

bool ChoosesUserHive(const std::string& exeFolder, const std::string& commandLine) {
    return PathExists(exeFolder + "/HKCU.flg") ||
           UpperAscii(commandLine).find("--HKCU") != std::string::npos;
}

std::int16_t CheckAccountStruct(Installation& g, SettingsFiles& files) {
    const std::string tarnIn = g.AppPath + "TarnIN";
    if (!PathExists(tarnIn)) {
        MakePath(tarnIn);
        if (!PathExists(tarnIn)) return 0;
    }
    for (const char* sub : kTarnINFolders) {
        const std::string folder = tarnIn + sub;
        if (!PathExists(folder)) MakePath(folder);
    }
    g.AccPath = g.AppPath + "TarnIN/";

    // Older installations kept the account data in a two-line text file.
    const std::string ini = g.AccPath + "AccInfo.ini";
    const std::string txt = g.AccPath + "AccountInfo.txt";
    if (ReadINI(files, ini, "User", "Email").empty() && PathExists(txt)) {
        std::vector<std::string> lines;
        files.ReadLines(txt, lines);
        // A line that cannot be read leaves the buffer as it was, so a file of
        // one line gives that line for both keys.
        std::string buffer;
        if (!lines.empty()) buffer = lines[0];
        bool stored = WriteINI(files, ini, "User", "FullName", buffer);
        if (lines.size() > 1) buffer = lines[1];
        stored = WriteINI(files, ini, "User", "Email", buffer) && stored;
        // The older file is the only copy of the account data until both
        // values are in "AccInfo.ini"; otherwise the next start tries again.
        if (stored) std::remove(txt.c_str());
    }
    return -1;
}

void LoadForwardedList(Installation& g, SettingsFiles& files) {
    g.forwardedList.assign(1, '\t');  // not = "\t": GCC 12 warns falsely (-Wrestrict)
    const std::string file = g.AppPath + "Forwarded.lst";
    if (!PathExists(file)) return;
    std::vector<std::string> lines;
    files.ReadLines(file, lines);
    g.forwardedList = ForwardedListFromLines(lines);
}

std::string ForwardedListFromLines(const std::vector<std::string>& lines) {
    std::string list(1, '\t');
    for (const std::string& line : lines) {
        list += UpperAscii(line);
        list += '\t';
    }
    return list;
}

bool ForwardedListHolds(const std::string& list, const std::string& domain) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "\t" + temporary.
    std::string key(1, '\t');
    key += UpperAscii(domain);
    key += '\t';
    return list.find(key) != std::string::npos;
}

}  // namespace bw
