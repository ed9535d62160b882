#include "app/queue_command.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <iostream>
#include <map>
#include <vector>

#include "app/command_db.h"
#include "app/command_settings.h"
#include "db/db_session.h"
#include "db/health_check.h"
#include "db/minilog_lookup.h"
#include "delivery/back_off.h"
#include "delivery/queue_view.h"
#include "host/exit_status.h"
#include "host/installation.h"
#include "host/paths.h"
#include "host/settings.h"
#include "host/textfile.h"
#include "platform/ascii_text.h"
#include "platform/clock.h"
#include "platform/mariadb.h"
#include "platform/queue_files.h"
#include "platform/service.h"
#include "platform/state_folder.h"

namespace bw {

namespace {

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The last minilog action of every entry; false (and why) when unknown.
bool AddLastActions(QueueView& view, const std::string& appPath, ServiceControl& events,
                    std::string& why) {
    CommandDatabase db(appPath, events);
    why = db.Open();
    if (!why.empty()) return false;
    DbSession& session = db.Session();
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

const std::map<std::string, QueueAdminAction> kPairOptions = {
    {"--requeue", QueueAdminAction::kRequeue},
    {"--delete", QueueAdminAction::kDelete},
    {"--hold", QueueAdminAction::kHold},
    {"--release", QueueAdminAction::kRelease}};

int Usage(std::ostream& err, const std::string& why) {
    err << "bwtarnout: " << why << "; see 'bwtarnout --help'\n";
    return kExitUsage;
}

// The installation a command works on: its application and account folders.
struct Place {
    std::string appPath;
    std::string accPath;
};

// Finds the installation as the start-up does; false (after saying why) when
// it has no account folder.
bool FindPlace(const std::string& commandLine, ServiceControl& service, Place& place,
               std::ostream& err) {
    const CommandSettings store(commandLine, service);
    bool registered = false;
    place.appPath = LocateAppPath(store.settings, store.platform.ExeFolderOrReal(), registered);
    place.accPath = place.appPath + "TarnIN/";
    if (IsFolder(place.accPath)) return true;
    err << "bwtarnout: no queue folder " << place.accPath << " (application folder "
        << (registered ? "registered as General/AppPath in " : "not registered in ")
        << store.StorePath() << (registered ? "" : "; the program's own folder was tried") << ")\n";
    return false;
}

// When the daemon tries each queued pair next, from the back-off it keeps
// (no record: no pair waits). False (and why) when the record cannot be read.
bool AddNextAttempts(QueueView& view, const std::string& stateDir, ErrorState& unreadable) {
    std::map<PairId, BackOffWait> waits;
    for (BackOffWait& w : ReadBackOff(stateDir, unreadable)) waits[w.id] = std::move(w);
    view.flushAsked = FlushRequested(stateDir);
    for (QueueViewEntry& e : view.entries) {
        if (e.pair.folder != "Inbox" && e.pair.folder != "Outbox") continue;
        const auto it = waits.find(e.pair.id);
        if (it == waits.end() || it->second.name != e.pair.name) continue;
        e.next = QueueNextAttempt{it->second.notBefore, it->second.waitMs, it->second.reason};
    }
    return !unreadable.Failed();
}

int RunView(const QueueRequest& request, const Place& place, ServiceControl& service,
            std::ostream& out, std::ostream& err) {
    QueueView view;
    view.nowSeconds = SystemClock().UnixSeconds();
    for (QueuedPair& p : ListQueueEntries(place.accPath, view.nowSeconds)) {
        QueueViewEntry e;
        const std::string folder = place.accPath + p.folder + "/";
        if (!p.unusable.empty()) {
            e.envelope.problem = p.unusable;  // never opened
        } else {
            e.envelope = PeekQueueEnvelope(folder + p.datName);
            if (e.envelope.gone) continue;  // delivered or filed meanwhile: no longer waiting
            e.beingSent =
                LockedElsewhere(folder + p.datName) || LockedElsewhere(folder + p.msgName);
        }
        e.pair = std::move(p);
        view.entries.push_back(std::move(e));
    }
    const std::string stateDir = FindStateFolder(place.appPath);
    if (ErrorState why; !AddNextAttempts(view, stateDir, why)) {
        err << "bwtarnout: the next attempts are unknown: " << stateDir << "/" << kBackOffFile
            << ": " << why.description << "\n";
    }
    // Nothing queued, nothing to look up.
    std::string why;
    view.lastActionsKnown =
        view.entries.empty() || AddLastActions(view, place.appPath, service, why);
    if (!view.lastActionsKnown) {
        err << "bwtarnout: the last actions are unknown: " << why << "\n";
    }
    out << (request.json ? FormatQueueJson(view) : FormatQueueText(view));
    out.flush();
    return out ? kExitOk : kExitFailure;
}

int RunFlush(const Place& place, std::ostream& out, std::ostream& err) {
    const std::string stateDir = FindStateFolder(place.appPath);
    // The queued pairs still in their wait (a held or filed pair waits no more).
    QueueView view;
    view.nowSeconds = SystemClock().UnixSeconds();
    for (QueuedPair& p : ListQueuedPairs(place.accPath, view.nowSeconds)) {
        view.entries.push_back(QueueViewEntry{std::move(p), {}, false, {}, {}});
    }
    ErrorState unreadable;  // counted as none waiting
    AddNextAttempts(view, stateDir, unreadable);
    const auto waiting = std::count_if(view.entries.begin(), view.entries.end(), [&](auto& e) {
        return e.next && static_cast<double>(e.next->at) > view.nowSeconds;
    });
    ErrorState failed;
    if (!RequestFlush(stateDir, failed)) {
        err << "bwtarnout: flush not asked for: " << failed.description << "\n";
        return kExitFailure;
    }
    out << "Flush asked for (" << stateDir << "): " << waiting
        << (waiting == 1 ? " pair waits for its back-off" : " pairs wait for their back-off")
        << "; the daemon tries every queued pair at its next pass\n";
    return kExitOk;
}

int RunPair(const QueueRequest& request, const Place& place, std::ostream& out, std::ostream& err) {
    const QueueAdminResult r =
        RunQueueAdmin(request.action, place.accPath, request.name, SystemClock().Now());
    if (r.kind == QueueAdminResult::Kind::kDone) {
        out << r.message << "\n";
        return kExitOk;
    }
    err << "bwtarnout: " << r.message << "\n";
    return r.kind == QueueAdminResult::Kind::kBeingSent ? kExitBeingSent : kExitFailure;
}

}  // namespace

int ParseQueueCommand(int argc, char** argv, QueueRequest& request, std::ostream& err) {
    std::string command;  // the option that names the command
    std::string unknown;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto pair = kPairOptions.find(arg);
        if (arg == "--json") {
            json = true;
        } else if (UpperAscii(arg) == "--HKCU") {
        } else if (arg != "--queue" && arg != "--flush" && pair == kPairOptions.end()) {
            if (unknown.empty()) unknown = arg;
        } else if (!command.empty()) {
            return Usage(err, "options '" + command + "' and '" + arg + "' do not go together");
        } else {
            command = arg;
            request.kind = arg == "--queue"   ? QueueRequest::Kind::kView
                           : arg == "--flush" ? QueueRequest::Kind::kFlush
                                              : QueueRequest::Kind::kPair;
            if (pair == kPairOptions.end()) continue;
            request.action = pair->second;
            if (i + 1 >= argc || argv[i + 1][0] == '-') {
                return Usage(err, "option '" + arg + "' needs the name of a pair");
            }
            request.name = argv[++i];
        }
    }
    if (command.empty()) return -1;
    // The program's other commands are known, but not beside this one.
    for (const char* other : {"-install", "-remove", "--help", "-h", "--version"}) {
        if (unknown == other) {
            return Usage(err, "options '" + command + "' and '" + unknown + "' do not go together");
        }
    }
    if (!unknown.empty()) return Usage(err, "unknown option '" + unknown + "'");
    if (json && command != "--queue") {
        return Usage(err, "option '--json' goes with '--queue' only, not with '" + command + "'");
    }
    request.json = json;
    return 0;
}

int RunQueueCommand(const QueueRequest& request, const std::string& commandLine, std::ostream& out,
                    std::ostream& err) {
    StderrService service("bwtarnout");
    Place place;
    if (!FindPlace(commandLine, service, place, err)) return kExitFailure;
    switch (request.kind) {
        case QueueRequest::Kind::kView:
            return RunView(request, place, service, out, err);
        case QueueRequest::Kind::kFlush:
            return RunFlush(place, out, err);
        case QueueRequest::Kind::kPair:
            break;
    }
    return RunPair(request, place, out, err);
}

}  // namespace bw
