#include "app/queue_command.h"

#include <sys/stat.h>

#include <ctime>
#include <iostream>
#include <vector>

#include "db/db_session.h"
#include "db/health_check.h"
#include "db/minilog_lookup.h"
#include "delivery/queue_view.h"
#include "host/host_platform.h"
#include "host/installation.h"
#include "host/paths.h"
#include "host/settings.h"
#include "host/textfile.h"
#include "platform/ascii_text.h"
#include "platform/mariadb.h"
#include "platform/service.h"
#include "platform/settings_store.h"

namespace bw {

namespace {

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens the primary database, else the first alternative that answers, as
// the health check does: "" when a connection is open, else why not.
std::string Connect(DbSession& session, const std::string& appPath) {
    ErrorState primary;
    if (session.PrimaryString().empty()) {
        primary.Raise(0,
                      "no connection string: DBConnect.dat is missing or empty beside the "
                      "program and in " +
                          appPath);
    } else if (session.OpenPrimary(kPrimaryConnectTimeout, primary)) {
        return "";
    }
    if (session.OpenAlternative() > 0) return "";
    return primary.Failed() ? primary.description : "the database cannot be reached";
}

// The last minilog action of every entry; false (and why) when unknown.
bool AddLastActions(QueueView& view, const std::string& appPath, const std::string& accPath,
                    ServiceControl& events, std::string& why) {
    MariaDbFactory factory;
    DbSession session(factory);
    SettingsFiles files(appPath, accPath,
                        [&events](const std::string& text) { events.LogEvent(2, 110, text); });
    session.UseConnectStrings({ExeFolder(), appPath, &files});
    why = Connect(session, appPath);
    if (!why.empty()) return false;
    std::vector<std::string> names;
    for (const QueueViewEntry& e : view.entries) names.push_back(e.pair.name);
    std::vector<std::optional<std::string>> actions;
    ErrorState err;
    if (!LastMinilogActions(session, names, actions, err)) {
        why = err.description;
        return false;
    }
    for (std::size_t i = 0; i < actions.size(); ++i) view.entries[i].lastAction = actions[i];
    return true;
}

}  // namespace

bool IsQueueCommand(int argc, char** argv, bool& json) {
    bool queue = false;
    json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--queue") {
            queue = true;
        } else if (arg == "--json") {
            json = true;
        } else if (UpperAscii(arg) != "--HKCU") {
            return false;
        }
    }
    return queue;
}

int RunQueueCommand(bool json, const std::string& commandLine, std::ostream& out,
                    std::ostream& err) {
    StderrService service("bwtarnout");
    RegFileStore machineSettings(MachineRegistryPath());
    RegFileStore userSettings(UserRegistryPath());
    HostPlatform hp;
    hp.service = &service;
    hp.machineSettings = &machineSettings;
    hp.userSettings = &userSettings;
    Installation inst;
    inst.useUserHive = ChoosesUserHive(hp.ExeFolderOrReal(), commandLine);
    const Settings settings(hp, inst);

    bool registered = false;
    const std::string appPath = LocateAppPath(settings, hp.ExeFolderOrReal(), registered);
    const std::string accPath = appPath + "TarnIN/";
    if (!IsFolder(accPath)) {
        err << "bwtarnout: no queue folder " << accPath << " (application folder "
            << (registered ? "registered as General/AppPath in " : "not registered in ")
            << (inst.useUserHive ? UserRegistryPath() : MachineRegistryPath())
            << (registered ? "" : "; the program's own folder was tried") << ")\n";
        return 1;
    }

    QueueView view;
    for (QueuedPair& p : ListQueuedPairs(accPath, static_cast<double>(std::time(nullptr)))) {
        QueueViewEntry e;
        e.envelope = PeekQueueEnvelope(accPath + p.folder + "/" + p.datName);
        if (e.envelope.gone) continue;  // delivered or filed meanwhile: no longer waiting
        e.pair = std::move(p);
        view.entries.push_back(std::move(e));
    }
    // Nothing queued, nothing to look up.
    std::string why;
    view.lastActionsKnown =
        view.entries.empty() || AddLastActions(view, appPath, accPath, service, why);
    if (!view.lastActionsKnown) {
        err << "bwtarnout: the last actions are unknown: " << why << "\n";
    }
    out << (json ? FormatQueueJson(view) : FormatQueueText(view));
    out.flush();
    return out ? 0 : 1;
}

}  // namespace bw
