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
#include "db/shared_main.h"
#include "host/globals.h"
#include "host/host_platform.h"
#include "host/installation.h"
#include "host/settings.h"
#include "platform/clock.h"
#include "platform/day_serial.h"
#include "platform/db.h"
#include "platform/loop.h"
#include "platform/mariadb.h"
#include "platform/service.h"
#include "platform/settings_store.h"
#include "policy/policy_rules.h"
#include "policy/policy_state.h"

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

// Event-log entries go to standard error.
class StderrService final : public ServiceControl {
  public:
    void SetServiceSetting(const std::string&, const std::string&, const std::string&) override {}
    bool Install() override { return false; }
    bool Remove() override { return false; }
    void LogEvent(std::int16_t, std::int32_t, const std::string& text) override {
        std::cerr << "bwpolicy: " << text << "\n";
    }
    void StartServing() override {}
};

struct Args {
    std::vector<std::string> words;
    std::map<std::string, std::string> options;
    bool allowedFlag = false;
};

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "bwpolicy: " << message << "\n" << kUsage;
    std::exit(2);
}

Args ParseArgs(int argc, char** argv) {
    static const char* const kValued[] = {
        "--app-path",    "--acc-path",   "--owner",      "--tarn-id",
        "--type",        "--grey-delay", "--grey-frame", "--iplock-threshold",
        "--iplock-unit", "--grey-exp"};
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
void Connect(MariaDbFactory& factory) {
    G().db.factory = &factory;
    const std::string connect = GetDBConnect("");
    if (connect.empty()) {
        std::cerr << "bwpolicy: no connection string: DBConnect.dat is missing or empty beside "
                     "the program and in "
                  << G().AppPath << "\n";
    }
    G().db.conn = factory.NewConnection();
    G().db.conn->SetConnectionString(connect);
    ErrorState err;
    G().db.conn->Open(err);
    if (err.Failed()) {
        std::cerr << "bwpolicy: the database cannot be reached (" << err.description
                  << "); the answer below is the one given without a database\n";
    }
    G().db.rs = factory.NewRecordset();
    ErrorState ignored;
    G().db.rs->SetActiveConnection(G().db.conn, ignored);
}

// The class settings given as options, each checked to be a 16-bit number.
struct ClassSettings {
    std::optional<std::int16_t> greyDelay, greyFrame, greyExp, ipLockThreshold, ipLockUnit;
};

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
ClassSettings CheckCommandLine(const Args& a) {
    if (a.words.empty()) Fail("no command given");
    const std::string& cmd = a.words[0];
    static const char* const kKnown[] = {
        "grey",  "lockip",    "allowed",   "disallowed",  "add-allowed", "add-disallowed",
        "purge", "load-grey", "save-grey", "load-lockip", "save-lockip"};
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

    ClassSettings c;
    c.greyDelay = Int16Option(a, "--grey-delay");
    c.greyFrame = Int16Option(a, "--grey-frame");
    c.greyExp = Int16Option(a, "--grey-exp");
    c.ipLockThreshold = Int16Option(a, "--iplock-threshold");
    c.ipLockUnit = Int16Option(a, "--iplock-unit");
    return c;
}

int Run(int argc, char** argv) {
    const Args a = ParseArgs(argc, argv);
    const ClassSettings settings = CheckCommandLine(a);
    const std::string cmd = a.words[0];

    SystemClock clock;
    Loop loop(clock);
    StderrService service;
    MariaDbFactory factory;
    RegFileStore machineSettings(MachineRegistryPath());
    G().clock = &clock;
    G().loop = &loop;
    G().service = &service;
    HostPlatform hp;
    hp.service = &service;
    hp.machineSettings = &machineSettings;
    const Installation installation;  // the machine-wide store
    const Settings store(hp, installation);

    // The daemon's application folder and installation identifier, unless given.
    std::string appPath = Option(a, "--app-path");
    if (appPath.empty()) {
        appPath = store.GetSettingX(kAppName, "General", "AppPath", "*");
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
    const std::string tarnID = a.options.count("--tarn-id") != 0
                                   ? Option(a, "--tarn-id")
                                   : store.GetSettingX(kAppName, "TarnIN", "TarnID", "");
    G().AppPath = appPath;
    G().AccPath = appPath + "TarnIN/";
    G().TarnID = tarnID;
    G().oShared = std::make_unique<clsSharedMain>();
    clsSharedMain& shared = *G().oShared;
    shared.SetAppPath(appPath);
    shared.SetAccPath(WithSlash(Option(a, "--acc-path", G().AccPath)));
    if (settings.greyDelay) shared.SetGreyDelay(*settings.greyDelay);
    if (settings.greyFrame) shared.SetGreyFrame(*settings.greyFrame);
    if (settings.greyExp) shared.SetGreyExp(*settings.greyExp);
    if (settings.ipLockThreshold) shared.SetIPLockThreshold(*settings.ipLockThreshold);
    if (settings.ipLockUnit) shared.SetIPLockUnit(*settings.ipLockUnit);
    const std::string owner = Option(a, "--owner");
    const std::string type = Option(a, "--type", "");
    const bool fileOnly = cmd == "load-grey" || cmd == "load-lockip" || cmd == "save-lockip";

    if (!fileOnly) Connect(factory);

    const auto& w = a.words;
    if (cmd == "grey") {
        std::cout << shared.CheckGreyIP(w[1], w[2], w[3], type, a.allowedFlag ? -1 : 0, 0) << "\n";
    } else if (cmd == "lockip") {
        std::cout << shared.CheckLockIP(w[1], w[2]) << "\n";
    } else if (cmd == "allowed") {
        std::cout << shared.IsAllowed(w[1], w.size() > 2 ? w[2] : "", owner) << "\n";
    } else if (cmd == "disallowed") {
        std::cout << shared.IsDisAllowed(w[1], w.size() > 2 ? w[2] : "", owner) << "\n";
    } else if (cmd == "add-allowed") {
        shared.AddAllowed(w[1], owner);
        std::cout << "done\n";
    } else if (cmd == "add-disallowed") {
        shared.AddDisAllowed(w[1], owner);
        std::cout << "done\n";
    } else if (cmd == "purge") {
        shared.PurgeDB();
        std::cout << "done\n";
    } else if (cmd == "load-grey" || cmd == "save-grey") {
        shared.LoadGreyIP();
        if (cmd == "save-grey") shared.SaveGreyIP();
        const auto& list = shared.Policy().greyList;
        size_t kept = 0;
        for (size_t i = 1; i < list.size(); ++i) {
            if (list[i].netip.empty()) continue;
            ++kept;
            if (cmd == "load-grey") {
                std::cout << list[i].netip << "\t" << list[i].mailfrom << "\t" << list[i].mailto
                          << "\t" << DaySerialText(list[i].rectime) << "\t" << list[i].allowed
                          << "\t" << DaySerialText(list[i].lastcontact) << "\n";
            }
        }
        std::cout << kept << " entries\n";
    } else {
        shared.LoadLockIP();
        if (cmd == "save-lockip") shared.SaveLockIP();
        const auto& table = shared.Policy().lockTable;
        if (cmd == "load-lockip") {
            for (size_t i = 1; i < table.size(); ++i) {
                std::cout << table[i].netip << "\tspam " << table[i].numspam << "\tgood "
                          << table[i].numgood << "\trejects " << table[i].numrejects << "\tlevel "
                          << table[i].locklevel << "\n";
            }
        }
        std::cout << table.size() - 1 << " entries\n";
    }
    G().db.rs.reset();
    G().db.conn.reset();
    G().oShared.reset();
    return 0;
}

}  // namespace
}  // namespace bw

int main(int argc, char** argv) {
    return bw::Run(argc, argv);
}
