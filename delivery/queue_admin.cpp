#include "delivery/queue_admin.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "delivery/filing.h"
#include "delivery/queue_listing.h"
#include "platform/ascii_text.h"
#include "platform/queue_files.h"

namespace bw {

namespace {

// The daemon holds each queued pair for a moment at every pass (to look at
// its back-off): a lock held elsewhere is tried again this often.
constexpr int kClaimTries = 20;
constexpr int kClaimPauseMs = 100;

using Kind = QueueAdminResult::Kind;

struct Route {
    const char* from;
    const char* to;  // "" for a deletion
};

std::vector<Route> Routes(QueueAdminAction action) {
    switch (action) {
        case QueueAdminAction::kRequeue:
            return {{"Inbox/BAD", "Inbox"}, {"Outbox/BAD", "Outbox"}};
        case QueueAdminAction::kHold:
            return {{"Inbox", "Inbox/Hold"}, {"Outbox", "Outbox/Hold"}};
        case QueueAdminAction::kRelease:
            return {{"Inbox/Hold", "Inbox"}, {"Outbox/Hold", "Outbox"}};
        case QueueAdminAction::kDelete:
            break;
    }
    std::vector<Route> all;
    for (const char* folder : kQueueViewFolders) all.push_back({folder, ""});
    return all;
}

QueueAdminResult Failed(const std::string& message) {
    return {Kind::kFailed, message};
}

struct Located {
    Route route{"", ""};
    std::string base;
    std::string error;
};

// The folder a name begins with ("Inbox/BAD/q1" gives "Inbox/BAD"), or "".
std::string FolderOfName(const std::string& name) {
    std::string best;
    for (const std::string folder : kQueueViewFolders) {
        if (name.starts_with(folder + "/") && folder.size() > best.size()) best = folder;
    }
    return best;
}

std::string FolderList(const std::vector<Route>& routes, const char* last = " or ") {
    std::string list;
    for (std::size_t i = 0; i < routes.size(); ++i) {
        list += std::string(i == 0 ? "" : i + 1 == routes.size() ? last : ", ") + routes[i].from;
    }
    return list;
}

// Where the pair `name` is, among the folders `action` takes pairs from.
Located Locate(QueueAdminAction action, const std::string& accPath, std::string name) {
    const std::vector<Route> routes = Routes(action);
    Located at;
    const std::string ext = LowerAscii(name.size() > 4 ? name.substr(name.size() - 4) : "");
    if (ext == ".dat" || ext == ".msg") name.resize(name.size() - 4);
    const std::string folder = FolderOfName(name);
    at.base = folder.empty() ? name : name.substr(folder.size() + 1);
    if (at.base.empty() || at.base == "." || at.base == ".." ||
        at.base.find('/') != std::string::npos) {
        at.error = "'" + name + "' names no pair (a name, or a folder and a name: Inbox/BAD/NAME)";
        return at;
    }
    std::vector<Route> found;
    for (const Route& r : routes) {
        if (!folder.empty() && folder != r.from) continue;
        if (!FindNameNoCase(accPath + r.from + "/", at.base + ".dat").empty()) found.push_back(r);
    }
    const std::string where = folder.empty() ? FolderList(routes) : folder;
    if (!folder.empty() && std::none_of(routes.begin(), routes.end(),
                                        [&](const Route& r) { return folder == r.from; })) {
        at.error = std::string(QueueAdminOption(action)) + " takes pairs of " + FolderList(routes) +
                   ", not of " + folder;
    } else if (found.empty()) {
        at.error = "no pair " + at.base + " in " + where;
    } else if (found.size() > 1) {
        at.error = at.base + " is in " + FolderList(found, " and ") + ": name its folder (" +
                   found[0].from + "/" + at.base + ")";
    } else {
        at.route = found[0];
    }
    return at;
}

// Claims `path` as the daemon does; a lock held elsewhere is tried again for
// a while. 0 and `err` when it cannot be claimed.
std::int16_t ClaimWaiting(QueueFiles& files, const std::string& path, ErrorState& err) {
    for (int i = 1;; ++i) {
        err.Clear();
        const std::int16_t no = files.ClaimFile(path, err);
        if (no != 0 || err.number != EWOULDBLOCK || i >= kClaimTries) return no;
        std::this_thread::sleep_for(std::chrono::milliseconds(kClaimPauseMs));
    }
}

QueueAdminResult NotClaimed(const std::string& shown, const ErrorState& err) {
    if (err.number == EWOULDBLOCK) {
        return {Kind::kBeingSent, shown +
                                      " is being sent (another process holds its lock): nothing "
                                      "done; try again later"};
    }
    if (err.number == ENOENT || err.number == ESTALE) {
        return Failed("no pair " + shown + " (it left the folder meanwhile)");
    }
    return Failed(shown + ": " + err.description + "; nothing done");
}

// A Hold folder is made like its queue folder: its mode and, for root, its owner.
bool MakeFolderLike(const std::string& folder, const std::string& model, ErrorState& err) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) == 0) return true;  // a link or file fails the move
    struct stat like {};
    if (::stat(model.c_str(), &like) != 0 || ::mkdir(folder.c_str(), like.st_mode & 07777) != 0 ||
        (::geteuid() == 0 && ::lchown(folder.c_str(), like.st_uid, like.st_gid) != 0)) {
        err.Raise(errno, "cannot make " + folder + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// The claimed pair's names and file numbers (closed, and unlocked, with the table).
struct Claimed {
    QueueFiles files;
    std::string datName, msgName;
    std::int16_t dat = 0, msg = 0;
    std::string unsafe;  // why a file is no regular file with one name, or ""
};

// Claims both files of the pair in `src`; a file that is unsafe to read is
// not claimed (and named in `unsafe`), only a lock held elsewhere or a
// failure ends the command.
bool ClaimPair(const std::string& src, const std::string& shown, Claimed& c,
               QueueAdminResult& result) {
    ErrorState err;
    for (auto [name, no] : {std::pair{&c.datName, &c.dat}, std::pair{&c.msgName, &c.msg}}) {
        if (name->empty()) continue;
        *no = ClaimWaiting(c.files, src + *name, err);
        if (*no != 0) continue;
        if (err.number != kUnsafeFile) {
            result = NotClaimed(shown, err);
            return false;
        }
        if (c.unsafe.empty()) c.unsafe = err.description;
    }
    return true;
}

// Moves the claimed pair from `src` to `dst`, the ".msg" first.
QueueAdminResult MovePair(Claimed& c, const std::string& src, const std::string& dst,
                          const std::string& shown, const std::string& to) {
    ErrorState err;
    if (!MakeFolderLike(dst, src, err)) return Failed(err.description + "; nothing moved");
    for (const std::string& name : {c.msgName, c.datName}) {
        if (!FindNameNoCase(dst, name).empty()) {
            return Failed(to + "/" + name + " exists already: nothing moved");
        }
    }
    if (!MoveFileSafe(src + c.msgName, dst + c.msgName, true, err)) {
        return Failed(shown + " not moved: " + err.description);
    }
    if (!MoveFileSafe(src + c.datName, dst + c.datName, true, err)) {
        return Failed(c.msgName + " moved to " + to + ", but not " + c.datName + ": " +
                      err.description);
    }
    return {Kind::kDone, ""};
}

QueueAdminResult DeletePair(const Claimed& c, const std::string& src, const std::string& shown) {
    ErrorState err;
    if (!c.msgName.empty() && !DeleteFileSafe(src + c.msgName, err)) {
        return Failed(shown + " not deleted: " + err.description);
    }
    if (!DeleteFileSafe(src + c.datName, err)) {
        return Failed((c.msgName.empty() ? shown + " not deleted: "
                                         : c.msgName + " deleted, but not " + c.datName + ": ") +
                      err.description);
    }
    return {Kind::kDone, ""};
}

}  // namespace

const char* QueueAdminOption(QueueAdminAction action) {
    switch (action) {
        case QueueAdminAction::kRequeue:
            return "--requeue";
        case QueueAdminAction::kHold:
            return "--hold";
        case QueueAdminAction::kRelease:
            return "--release";
        case QueueAdminAction::kDelete:
            break;
    }
    return "--delete";
}

QueueAdminResult RunQueueAdmin(QueueAdminAction action, const std::string& accPath,
                               const std::string& name, double nowDaySerial) {
    const Located at = Locate(action, accPath, name);
    if (!at.error.empty()) return Failed(at.error);
    const std::string src = accPath + at.route.from + "/";
    const bool moving = *at.route.to != '\0';
    Claimed c;
    c.datName = FindNameNoCase(src, at.base + ".dat");
    c.msgName = FindNameNoCase(src, at.base + ".msg");
    const std::string shown =
        std::string(at.route.from) + "/" +
        (c.datName.empty() ? at.base : c.datName.substr(0, c.datName.size() - 4));
    if (c.datName.empty()) return Failed("no pair " + shown + " (it left the folder meanwhile)");
    if (moving && c.msgName.empty()) {
        return Failed(shown + " has no .msg: not moved (--delete removes it)");
    }
    QueueAdminResult result;
    if (!ClaimPair(src, shown, c, result)) return result;
    if (moving && !c.unsafe.empty()) {
        return Failed(shown + ": " + c.unsafe + "; not moved (--delete removes it)");
    }
    result = moving ? MovePair(c, src, accPath + at.route.to + "/", shown, at.route.to)
                    : DeletePair(c, src, shown);
    TouchChangedFlag(accPath, nowDaySerial);
    if (result.kind != Kind::kDone) return result;
    switch (action) {
        case QueueAdminAction::kRequeue:
            return {Kind::kDone, shown + " requeued to " + at.route.to};
        case QueueAdminAction::kHold:
            return {Kind::kDone, shown + " held in " + at.route.to};
        case QueueAdminAction::kRelease:
            return {Kind::kDone, shown + " released to " + at.route.to};
        case QueueAdminAction::kDelete:
            break;
    }
    return {Kind::kDone, shown + " deleted"};
}

}  // namespace bw
