// Settings and the folder layout below AppPath: the settings wrappers over the
// machine-wide store (or the per-user store when useUserHive is set), the
// receiving component's folder tree and account data, and the forwarded-domain
// list.
// DIAGNOSTICS: a machine-wide store that cannot be written is fatal: event-log
// entry "Registry Problem: " + the error description, then the process ends.
// Errors of the per-user store are ignored (a read gives the default). Folder
// and file errors below TarnIN are ignored; CheckAccountStruct fails only when
// the TarnIN folder itself cannot be made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

constexpr const char* kAppName = "Brimwarden";

struct HostPlatform;
struct Installation;
class SettingsFiles;

/// The settings wrappers: the machine-wide store, or the per-user store while
/// the installation's useUserHive is set (read on every call).
class Settings {
  public:
    Settings(const HostPlatform& platform, const Installation& installation);

    std::string GetSettingX(const std::string& appName, const std::string& section,
                            const std::string& key, const std::string& defaultValue) const;
    void SaveSettingX(const std::string& appName, const std::string& section,
                      const std::string& key, const std::string& value) const;

  private:
    const HostPlatform& platform_;
    const Installation& installation_;
};

/// The application folder as the start-up finds it, ending with "/":
/// General/AppPath of the settings store, or `exeFolder` when none is
/// registered (`registered` is false then; nothing is written here).
std::string LocateAppPath(const Settings& settings, const std::string& exeFolder, bool& registered);
/// True when the per-user store is chosen: "HKCU.flg" beside the executable,
/// or "--HKCU" (any letter case) in the command line.
bool ChoosesUserHive(const std::string& exeFolder, const std::string& commandLine);

/// Makes AppPath + "TarnIN" and its queue folders, sets AccPath and moves the
/// older account data ("AccountInfo.txt") into "AccInfo.ini". -1 or 0.
std::int16_t CheckAccountStruct(Installation& inst, SettingsFiles& files);
/// Rebuilds forwardedList from AppPath + "Forwarded.lst".
void LoadForwardedList(Installation& inst, SettingsFiles& files);
/// The forwarded-domain list of a file's lines: "\t" + every line in upper
/// case + "\t".
std::string ForwardedListFromLines(const std::vector<std::string>& lines);
/// True when `list` (as ForwardedListFromLines builds it) holds the domain.
bool ForwardedListHolds(const std::string& list, const std::string& domain);

/// The receiving component's queue folders below "TarnIN", in creation order.
extern const char* const kTarnINFolders[10];

}  // namespace bw
