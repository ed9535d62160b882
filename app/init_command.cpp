#include "app/init_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <vector>

#include "app/command_db.h"
#include "app/command_settings.h"
#include "app/daemon.h"
#include "app/hop_settings.h"
#include "db/stats_row.h"
#include "delivery/server_list.h"
#include "host/exit_status.h"
#include "host/ini.h"
#include "host/installation.h"
#include "host/lang.h"
#include "host/paths.h"
#include "host/settings.h"
#include "host/textfile.h"
#include "platform/ascii_text.h"
#include "platform/clock.h"
#include "platform/greeting_probe.h"
#include "platform/log_text.h"
#include "platform/process.h"
#include "platform/service.h"

namespace bw {

namespace {

using Lines = std::vector<std::string>;

// How long --init waits for each mail server's greeting.
constexpr int kProbeSeconds = 5;

// The settings the start-up writes: General/AppPath, TarnIN/TarnID.
void RegisterInstallation(const Settings& settings, Installation& g, const std::string& exeFolder,
                          const std::string& store, double now, std::ostream& out) {
    bool registered = false;
    g.AppPath = LocateAppPath(settings, exeFolder, registered);
    if (!registered) settings.SaveSettingX(kAppName, "General", "AppPath", g.AppPath);
    g.TarnID = settings.GetSettingX(kAppName, "TarnIN", "TarnID", "");
    const bool made = g.TarnID.empty();
    if (made) {
        g.TarnID = MakeTarnID(now);
        settings.SaveSettingX(kAppName, "TarnIN", "TarnID", g.TarnID);
    }
    out << "Settings store " << store << ":\n"
        << "  General/AppPath = " << g.AppPath << (registered ? "" : " (registered now)") << "\n"
        << "  TarnIN/TarnID = " << g.TarnID << (made ? " (made now)" : "") << "\n";
}

// A folder the start-up makes; run by root, it gets the owner of the folder
// it is made in, so that the service's user can write it. True when made now.
bool MakeFolder(const std::string& folder, std::string& failed) {
    if (PathExists(folder)) return false;
    MakePath(folder);
    struct stat in {};
    const std::string parent = folder.substr(0, folder.find_last_of('/', folder.size() - 2));
    if (!PathExists(folder)) {
        failed += " " + folder;
        return false;
    }
    if (::geteuid() == 0 && ::stat(parent.c_str(), &in) == 0 &&
        ::lchown(folder.c_str(), in.st_uid, in.st_gid) != 0) {
        failed += " " + folder + " (owner)";
    }
    return true;
}

void MakeFolders(const std::string& appPath, std::ostream& out, Lines& missing) {
    Lines folders = {appPath, appPath + "Logs/", appPath + "TarnIN/"};
    for (const char* sub : kTarnINFolders) folders.push_back(appPath + "TarnIN" + sub + "/");
    std::string made;
    std::string failed;
    for (const std::string& f : folders) {
        if (MakeFolder(f, failed)) made += " " + (f == appPath ? f : f.substr(appPath.size()));
    }
    out << "Folders below " << appPath << ": "
        << (made.empty() ? std::string("all there") : "made" + made) << "\n";
    if (!failed.empty()) missing.push_back("folders that could not be made:" + failed);
}

// What the gateway must bring: the language file, usable mail servers
// (`servers` and `peer2` as the account file and the settings give them),
// TLS and AUTH settings the start would take.
void CheckGateway(const Settings& settings, const Installation& g,
                  const std::vector<std::string>& servers, const std::string& peer2,
                  Lines& missing) {
    const std::string lang = g.AppPath + "lang/";
    const std::string language = settings.GetSettingX(kAppName, "General", "UILanguage", "English");
    if (!PathExists(lang)) {
        missing.push_back(lang +
                          ": the gateway's language files (the start waits 25 s for "
                          "this folder, then ends with status 4)");
    } else if (!PathExists(LangFilePath(lang, language + ".lng"))) {
        missing.push_back(lang + language + ".lng: the language file of General/UILanguage");
    }
    for (const std::string& problem : ServerListProblems(servers, peer2)) {
        missing.push_back(problem);
    }
    HopSecurity security;
    std::unique_ptr<TlsClient> tls;
    if (const std::string problem = SetUpHopSecurity(settings, security, tls); !problem.empty()) {
        missing.push_back(problem);
    }
}

// Each mail server that can be used, and the peer of the Outbox: does it greet?
void ProbeServers(const std::vector<std::string>& servers, const std::string& peer2,
                  std::ostream& out, Lines& missing) {
    std::vector<ServerEntry> entries;
    for (const std::string& entry : servers) entries.push_back(ParseServerEntry(entry));
    if (!peer2.empty() && PeerProblem(peer2).empty() && !entries.empty()) {
        entries.push_back({peer2, entries.front().port, ""});
    }
    for (const ServerEntry& e : entries) {
        if (!e.problem.empty()) continue;
        const std::int32_t port = e.port != 0 ? e.port : 25;
        const std::string name = e.host + ":" + std::to_string(port);
        const GreetingProbe probe = ProbeGreeting(e.host, port, kProbeSeconds);
        out << "Mail server " << name << ": " << EscapeControls(probe.text) << "\n";
        if (!probe.answered || !probe.text.starts_with("220")) {
            missing.push_back("the mail server " + name + " (" + EscapeControls(probe.text) + ")");
        }
    }
}

void MakeStatsRow(const Installation& g, ServiceControl& events, std::ostream& out,
                  Lines& missing) {
    CommandDatabase db(g.AppPath, events);
    std::string why = db.Open();
    bool made = false;
    ErrorState err;
    if (why.empty() && !EnsureStatsRow(db.Session(), g.TarnID, made, err)) why = err.description;
    if (!why.empty()) {
        out << "Database: not reached\n";
        missing.push_back("the database (" + why + "; the tbl_stats row of " + g.TarnID +
                          " is made at the first count)");
        return;
    }
    out << "Database: the tbl_stats row of " << g.TarnID << (made ? " made" : " is there") << "\n";
}

}  // namespace

int ParseInitCommand(int argc, char** argv, std::ostream& err) {
    bool init = false;
    std::string other;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--init") {
            init = true;
        } else if (UpperAscii(arg) != "--HKCU" && other.empty()) {
            other = arg;
        }
    }
    if (!init) return -1;
    if (other.empty()) return 0;
    err << "bwtarnout: options '--init' and '" << other
        << "' do not go together; see 'bwtarnout --help'\n";
    return kExitUsage;
}

int RunInitCommand(const std::string& commandLine, std::ostream& out) {
    StderrService service("bwtarnout");
    RealProcess process;  // a settings store that cannot be written ends it, status 3
    SystemClock clock;
    CommandSettings store(commandLine, service);
    store.platform.clock = &clock;
    store.platform.process = &process;
    Installation& g = store.installation;
    const Settings& settings = store.settings;
    RegisterInstallation(settings, g, store.platform.ExeFolderOrReal(), store.StorePath(),
                         clock.Now(), out);
    Lines missing;
    MakeFolders(g.AppPath, out, missing);
    const std::string accPath = g.AppPath + "TarnIN/";  // outlives files, which refers to it
    SettingsFiles files(g.AppPath, accPath,
                        [&service](const std::string& text) { service.LogEvent(2, 110, text); });
    const std::vector<std::string> servers =
        SplitServerList(ReadINI(files, accPath + "AccInfo.ini", "Server", "SMTP"));
    const std::string peer2 = settings.GetSettingX(kAppName, "TarnIN", "Peer2", "");
    CheckGateway(settings, g, servers, peer2, missing);
    ProbeServers(servers, peer2, out, missing);
    MakeStatsRow(g, service, out, missing);
    if (missing.empty()) {
        out << "Nothing is missing\n";
        return kExitOk;
    }
    out << "Missing:\n";
    for (const std::string& m : missing) out << "  " << m << "\n";
    return kExitFailure;
}

}  // namespace bw
