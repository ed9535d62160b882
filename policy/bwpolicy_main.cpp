// bwpolicy: runs one member of the shared policy store against the gateway's
// database, with the daemon's application folder and connection files, and
// prints its result. Exit status 0 when the member ran (whatever it
// answered), 2 on bad arguments.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db/connect_string.h"
#include "db/db_session.h"
#include "db/direct_audit.h"
#include "host/host_platform.h"
#include "host/installation.h"
#include "host/paths.h"
#include "host/settings.h"
#include "host/textfile.h"
#include "platform/clock.h"
#include "platform/day_serial.h"
#include "platform/db.h"
#include "platform/mariadb.h"
#include "platform/service.h"
#include "platform/settings_store.h"
#include "policy/policy_rules.h"
#include "policy/policy_store.h"

namespace bw {
namespace {

const char* const kUsage =
    "usage: bwpolicy [options] COMMAND [ARGUMENTS]\n"
    "commands:\n"
    "  grey IP FROM TO [--type VG|D] [--allowed]   greylist check; prints 0,1,2,3,9 or -1\n"
    "  lockip IP CODE                 IP lock event (S, SD, G, R) or question (VS, VG, VR)\n"
    "  allowed FROM [RETPATH]         -1 when on the allow list, else 0\n"
    "  disallowed FROM [RETPATH]      -1 when on the deny list, else 0\n"
    "  add-allowed ADDRESS            adds to tbl_allowed unless already allowed\n"
    "  add-disallowed ADDRESS         adds to tbl_disallowed unless already denied\n"
    "  purge                          deletes expired and stale greylist rows\n"
    "  load-grey | load-lockip        reads GreyIP.lst / LockIP.lst and lists the entries\n"
    "  save-grey | save-lockip        reads the list file and writes it back (expired\n"
    "                                 greylist entries are dropped and logged)\n"
    "options:\n"
    "  --app-path DIR                 application folder (default: General/AppPath of the\n"
    "                                 settings store, $BW_REGISTRY or "
    "/etc/brimwarden/registry.reg)\n"
    "  --acc-path DIR                 folder of the first list files (default: APP/TarnIN/)\n"
    "  --owner ADDRESS                mailbox owner for the sender lists\n"
    "  --tarn-id ID                   installation identifier for the greylist counters\n"
    "                                 (default: TarnIN/TarnID of the settings store)\n"
    "  --grey-delay MIN --grey-frame MIN --grey-exp DAYS\n"
    "  --iplock-threshold N --iplock-unit DAYS\n";

struct Args {
    std::vector<std::string> words;
    std::map<std::string, std::string> options;
    bool allowedFlag = false;
};

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "bwpolicy: " << message << "; see 'bwpolicy --help'\n";
    std::exit(2);
}

const char* const kValued[] = {
    "--app-path",   "--acc-path",         "--owner",       "--tarn-id", "--type", "--grey-delay",
    "--grey-frame", "--iplock-threshold", "--iplock-unit", "--grey-exp"};

const char* const kKnown[] = {"grey",        "lockip",         "allowed",    "disallowed",
                              "add-allowed", "add-disallowed", "purge",      "load-grey",
                              "save-grey",   "load-lockip",    "save-lockip"};

Args ParseArgs(int argc, char** argv) {
    Args a;
    for (int i = 1; i < argc; ++i) {
        const std::string w = argv[i];
        if (w == "--allowed") {
            a.allowedFlag = true;
            continue;
        }
        if (w == "-h" || w == "--help") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (w == "--version") {
            std::cout << "bwpolicy " << BW_VERSION_MAJOR << "." << BW_VERSION_MINOR << "."
                      << BW_VERSION_REVISION << "\n";
            std::exit(0);
        }
        if (w.rfind("--", 0) == 0) {
            bool known = false;
            for (const char* k : kValued) known = known || w == k;
            if (!known) Fail("unknown option " + w);
            if (i + 1 >= argc) Fail("option " + w + " needs a value");
            a.options[w] = argv[++i];
            continue;
        }
        a.words.push_back(w);
    }
    return a;
}

std::optional<std::int16_t> Int16Option(const Args& a, const std::string& name) {
    const auto it = a.options.find(name);
    if (it == a.options.end()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0' || errno != 0 || v < -32768 || v > 32767) {
        Fail("option " + name + " needs a whole number from -32768 to 32767, not '" + it->second +
             "'");
    }
    return static_cast<std::int16_t>(v);
}

std::string Option(const Args& a, const std::string& name, const std::string& fallback = "") {
    const auto it = a.options.find(name);
    return it == a.options.end() ? fallback : it->second;
}

std::string WithSlash(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

void NeedWords(const Args& a, size_t least, size_t most) {
    if (a.words.size() < least || a.words.size() > most) {
        Fail("wrong number of arguments for '" + a.words[0] + "'");
    }
}

// Opens the shared connection on the primary string and binds the shared
// recordset to it, as the daemon's health check does.
void Connect(DbSession& session, const std::string& appPath) {
    const std::string connect = session.PrimaryString();
    if (connect.empty()) {
        std::cerr << "bwpolicy: no connection string: DBConnect.dat is missing or empty beside "
                     "the program and in "
                  << appPath << "\n";
    }
    ErrorState err;
    session.Connect(connect, err);
    if (err.Failed()) {
        std::cerr << "bwpolicy: the database cannot be reached (" << err.description
                  << "); the answer below is the one given without a database\n";
    }
}

// Values longer than the column they are written to: a strict server refuses
// the row, a lax one cuts it; either way the tool says so and writes nothing.
void CheckWidth(const std::string& what, const std::string& value, const char* column,
                size_t width) {
    if (value.size() <= width) return;
    Fail(what + " is " + std::to_string(value.size()) + " characters long; " + column +
         " holds at most " + std::to_string(width));
}

// Checks the whole command line before anything else is read, so that a bad
// argument is reported as such even where the settings store is missing.
PolicySettings CheckCommandLine(const Args& a) {
    if (a.words.empty()) Fail("no command given");
    const std::string& cmd = a.words[0];
    bool known = false;
    for (const char* k : kKnown) known = known || cmd == k;
    if (!known) Fail("unknown command '" + cmd + "'");

    if (cmd == "grey") {
        NeedWords(a, 4, 4);
        const std::string type = Option(a, "--type");
        if (!type.empty() && type != "VG" && type != "D") Fail("--type is VG or D");
    } else if (cmd == "lockip") {
        NeedWords(a, 3, 3);
    } else if (cmd == "allowed" || cmd == "disallowed") {
        NeedWords(a, 2, 3);
    } else if (cmd == "add-allowed" || cmd == "add-disallowed") {
        NeedWords(a, 2, 2);
    } else {
        NeedWords(a, 1, 1);
    }
    if (a.options.count("--type") != 0 && cmd != "grey") Fail("--type belongs to 'grey'");
    if (a.allowedFlag && cmd != "grey") Fail("--allowed belongs to 'grey'");
    // Column widths as in sql/schema.sql.
    const auto& w = a.words;
    if (cmd == "grey" || cmd == "lockip") {
        if (cmd == "grey") CheckWidth("the address", w[1], "tbl_greylist.ipaddress", 255);
        if (const auto net = NetworkPart(w[1])) {
            CheckWidth("its network", *net,
                       cmd == "grey" ? "tbl_greylist.netip" : "tbl_lockip.netip", 64);
        }
    }
    if (cmd == "grey") {
        CheckWidth("the sender", w[2], "tbl_greylist.mailfrom", 65535);
        CheckWidth("the recipient", w[3], "tbl_greylist.mailto", 65535);
    }
    if (cmd == "add-allowed" || cmd == "add-disallowed") {
        CheckWidth("the address", w[1],
                   cmd == "add-allowed" ? "tbl_allowed.fromaddress" : "tbl_disallowed.fromaddress",
                   255);
    }
    if (a.options.count("--owner") != 0)
        CheckWidth("--owner", Option(a, "--owner"), "the owner column", 255);
    for (const char* name : {"--app-path", "--acc-path"}) {
        if (a.options.count(name) != 0 && Option(a, name).empty()) {
            Fail(std::string("option ") + name + " needs a folder");
        }
    }

    // The settings given as options, each checked to be a 16-bit number.
    PolicySettings s;
    s.GreyDelay = Int16Option(a, "--grey-delay").value_or(0);
    s.GreyFrame = Int16Option(a, "--grey-frame").value_or(0);
    s.GreyExp = Int16Option(a, "--grey-exp").value_or(0);
    s.IPLockThreshold = Int16Option(a, "--iplock-threshold").value_or(0);
    s.IPLockUnit = Int16Option(a, "--iplock-unit").value_or(0);
    return s;
}

// The daemon's application folder and installation identifier, unless given.
struct PolicyTarget {
    PolicyFolders folders;
    std::string tarnID;
};

PolicyTarget FindInstallation(const Args& a, const Settings& registry) {
    std::string appPath = Option(a, "--app-path");
    if (appPath.empty()) {
        appPath = registry.GetSettingX(kAppName, "General", "AppPath", "*");
        if (appPath == "*" || appPath.empty()) {
            Fail("no application folder registered in " + MachineRegistryPath() +
                 ": give --app-path DIR");
        }
    }
    appPath = WithSlash(appPath);
    std::error_code ec;
    if (!std::filesystem::is_directory(appPath, ec)) {
        Fail("the application folder " + appPath + " does not exist");
    }
    PolicyTarget i;
    i.folders.appPath = appPath;
    i.folders.accPath = WithSlash(Option(a, "--acc-path", appPath + "TarnIN/"));
    i.tarnID = a.options.count("--tarn-id") != 0
                   ? Option(a, "--tarn-id")
                   : registry.GetSettingX(kAppName, "TarnIN", "TarnID", "");
    return i;
}

void PrintGreyList(const std::vector<GreyEntry>& list, bool listEntries) {
    size_t kept = 0;
    for (size_t i = 1; i < list.size(); ++i) {
        if (list[i].netip.empty()) continue;
        ++kept;
        if (listEntries) {
            std::cout << list[i].netip << "\t" << list[i].mailfrom << "\t" << list[i].mailto << "\t"
                      << DaySerialText(list[i].rectime) << "\t" << list[i].allowed << "\t"
                      << DaySerialText(list[i].lastcontact) << "\n";
        }
    }
    std::cout << kept << " entries\n";
}

void PrintLockTable(const std::vector<LockIPRecord>& table, bool listEntries) {
    for (size_t i = 1; listEntries && i < table.size(); ++i) {
        std::cout << table[i].netip << "\tspam " << table[i].numspam << "\tgood "
                  << table[i].numgood << "\trejects " << table[i].numrejects << "\tlevel "
                  << table[i].locklevel << "\n";
    }
    std::cout << table.size() - 1 << " entries\n";
}

// Runs one member of the store and prints its answer.
void Execute(PolicyStore& store, const Args& a) {
    const auto& w = a.words;
    const std::string& cmd = w[0];
    const std::string owner = Option(a, "--owner");
    const std::string retPath = w.size() > 2 ? w[2] : "";
    if (cmd == "grey") {
        std::cout << store.CheckGreyIP(w[1], w[2], w[3], Option(a, "--type"),
                                       a.allowedFlag ? -1 : 0, 0)
                  << "\n";
    } else if (cmd == "lockip") {
        std::cout << store.CheckLockIP(w[1], w[2]) << "\n";
    } else if (cmd == "allowed" || cmd == "disallowed") {
        std::cout << (cmd == "allowed" ? store.IsAllowed(w[1], retPath, owner)
                                       : store.IsDisAllowed(w[1], retPath, owner))
                  << "\n";
    } else if (cmd == "add-allowed" || cmd == "add-disallowed" || cmd == "purge") {
        if (cmd == "add-allowed") store.AddAllowed(w[1], owner);
        if (cmd == "add-disallowed") store.AddDisAllowed(w[1], owner);
        if (cmd == "purge") store.PurgeDB();
        std::cout << "done\n";
    } else if (cmd == "load-grey" || cmd == "save-grey") {
        store.LoadGreyIP();
        if (cmd == "save-grey") store.SaveGreyIP();
        PrintGreyList(store.Policy().greyList, cmd == "load-grey");
    } else {
        store.LoadLockIP();
        if (cmd == "save-lockip") store.SaveLockIP();
        PrintLockTable(store.Policy().lockTable, cmd == "load-lockip");
    }
}

int Run(int argc, char** argv) {
    const Args a = ParseArgs(argc, argv);
    const PolicySettings settings = CheckCommandLine(a);
    const std::string& cmd = a.words[0];

    SystemClock clock;
    StderrService service("bwpolicy");  // event-log entries go to standard error
    MariaDbFactory factory;
    RegFileStore machineSettings(MachineRegistryPath());
    HostPlatform hp;
    hp.clock = &clock;
    hp.service = &service;
    hp.machineSettings = &machineSettings;
    const Installation machineWide;  // the machine-wide settings store
    const PolicyTarget target = FindInstallation(a, Settings(hp, machineWide));
    const PolicyFolders& folders = target.folders;
    SettingsFiles files(folders.appPath, folders.accPath,
                        [&service](const std::string& text) { service.LogEvent(2, 110, text); });
    DbSession session(factory);
    session.UseConnectStrings({ExeFolder(), folders.appPath, &files});
    DirectAudit audit(session, clock, target.tarnID);  // a row not written is reported, not kept
    PolicyStore store(session, clock, audit, files, folders, settings);

    const bool fileOnly = cmd == "load-grey" || cmd == "load-lockip" || cmd == "save-lockip";
    if (!fileOnly) Connect(session, folders.appPath);
    Execute(store, a);
    return 0;
}

}  // namespace
}  // namespace bw

int main(int argc, char** argv) {
    return bw::Run(argc, argv);
}
