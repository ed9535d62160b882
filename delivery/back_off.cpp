#include "delivery/back_off.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>
#include <sstream>
#include <utility>

#include "delivery/record_fields.h"
#include "platform/safe_open.h"
#include "platform/service.h"

namespace bw {

namespace {

constexpr std::int64_t kFirstDeferMs = 5 * 60 * 1000;
constexpr std::int64_t kMaxDeferMs = 60 * 60 * 1000;
// A wait that ended this long ago belongs to a pair that left the queue some
// other way: it is forgotten.
constexpr std::int64_t kForgetAfterMs = 24LL * 3600 * 1000;
// A record that has grown past this is rewritten with the waits of now.
constexpr off_t kRewriteBytes = 1 << 20;
constexpr std::size_t kMaxReadBytes = 8 << 20;

std::string IdText(const PairId& id) {
    return std::to_string(id.datDev) + " " + std::to_string(id.datIno) + " " +
           std::to_string(id.msgDev) + " " + std::to_string(id.msgIno);
}

std::string WaitLine(const BackOffWait& w) {
    std::string reason = w.reason.empty() ? "broken" : w.reason;
    std::replace_if(
        reason.begin(), reason.end(), [](char c) { return c <= ' '; }, '_');
    return "+ " + IdText(w.id) + " " + std::to_string(w.waitMs) + " " +
           std::to_string(w.notBefore) + " " + reason + " " + HexField(w.name) + "\n";
}

std::string PathIn(const std::string& folder, const char* name) {
    return folder + (folder.ends_with('/') ? "" : "/") + name;
}

}  // namespace

BackOff::BackOff(std::string stateDir, ServiceControl* journal)
    : stateDir_(std::move(stateDir)), journal_(journal) {}

BackOff::~BackOff() {
    if (fd_ >= 0) ::close(fd_);
}

void BackOff::WriteFailed(const std::string& why) {
    if (saidWrite_) return;
    saidWrite_ = true;
    if (journal_ != nullptr) {
        journal_->LogEvent(2, 110,
                           "Back-off record " + PathIn(stateDir_, kBackOffFile) +
                               " cannot be written (" + why +
                               "); bwtarnout --queue does not show the next attempts");
    }
}

void BackOff::Start() {
    ::unlink(PathIn(stateDir_, kFlushRequestFile).c_str());
    waits_.clear();
    Rewrite();
}

bool BackOff::Open() {
    if (fd_ >= 0) return true;
    ErrorState err;
    fd_ = OpenRegularFile(AT_FDCWD, PathIn(stateDir_, kBackOffFile), O_WRONLY | O_APPEND | O_CREAT,
                          0640, err);
    if (fd_ < 0) WriteFailed(err.description);
    return fd_ >= 0;
}

// The record with the waits of now, through a new file renamed over the
// name (whatever is there: a link or pipe is replaced, never followed).
bool BackOff::Rewrite() {
    std::string text;
    for (const auto& [id, w] : waits_) text += WaitLine(w.record);
    const std::string path = PathIn(stateDir_, kBackOffFile);
    const std::string tmp = path + ".new." + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    ErrorState err;
    const int fd = OpenRegularFile(AT_FDCWD, tmp, O_WRONLY | O_CREAT | O_EXCL, 0640, err);
    if (fd < 0) {
        WriteFailed(err.description);
        return false;
    }
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    ::rename(tmp.c_str(), path.c_str()) == 0;
    const int e = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(tmp.c_str());
        WriteFailed(std::strerror(e));
        return false;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return true;
}

void BackOff::Append(const std::string& line) {
    if (!Open()) return;
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && (st.st_nlink == 0 || st.st_size > kRewriteBytes)) {
        Rewrite();  // removed or replaced by someone, or grown long: the waits of now
        return;
    }
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        WriteFailed(std::strerror(errno));
    }
}

std::int64_t BackOff::RetryNotBefore(const PairId& id, const std::string& name) const {
    const auto it = waits_.find(id);
    return it == waits_.end() || it->second.record.name != name ? 0 : it->second.notBeforeMs;
}

std::int64_t BackOff::DeferPair(const PairId& id, const std::string& name,
                                const std::string& reason, std::int64_t nowMs, double nowUnix) {
    for (auto it = waits_.begin(); it != waits_.end();) {
        it = nowMs - it->second.notBeforeMs > kForgetAfterMs ? waits_.erase(it) : std::next(it);
    }
    Wait& one = waits_[id];
    BackOffWait& w = one.record;
    if (w.name != name || w.waitMs == 0) {  // new, or another pair on the same files
        w = BackOffWait();
        w.id = id;
        w.name = name;
    }
    w.waitMs = w.waitMs == 0 ? kFirstDeferMs : std::min(kMaxDeferMs, w.waitMs * 2);
    w.reason = reason;
    w.notBefore = static_cast<std::int64_t>(std::floor(nowUnix)) + w.waitMs / 1000;
    one.notBeforeMs = nowMs + w.waitMs;
    Append(WaitLine(w));
    return w.waitMs;
}

void BackOff::ClearDeferral(const PairId& id) {
    if (waits_.erase(id) == 0) return;
    if (waits_.empty()) {
        Rewrite();
    } else {
        Append("- " + IdText(id) + "\n");
    }
}

long BackOff::TakeFlushRequest() {
    const std::string request = PathIn(stateDir_, kFlushRequestFile);
    struct stat st {};
    if (::lstat(request.c_str(), &st) != 0) return -1;
    if (::unlink(request.c_str()) != 0 && errno != ENOENT) {
        // Not done: a request that stays would drop every back-off at every listing.
        WriteFailed("the flush request " + request + " cannot be removed: " + std::strerror(errno));
        return -1;
    }
    const long dropped = static_cast<long>(waits_.size());
    waits_.clear();
    Rewrite();
    if (journal_ != nullptr) {
        journal_->LogEvent(4, 110,
                           "Flush asked for: the back-off of " + std::to_string(dropped) +
                               (dropped == 1 ? " pair" : " pairs") +
                               " dropped; every queued pair is tried at its next pass");
    }
    return dropped;
}

std::vector<BackOffWait> ReadBackOff(const std::string& stateDir, ErrorState& err) {
    std::vector<BackOffWait> out;
    ErrorState open;
    const int fd = OpenRegularFile(AT_FDCWD, PathIn(stateDir, kBackOffFile), O_RDONLY, 0, open);
    if (fd < 0) {
        if (open.number != ENOENT) err.Raise(open.number, open.description);
        return out;
    }
    std::string text;
    char buf[8192];
    while (text.size() < kMaxReadBytes) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::map<PairId, BackOffWait> waits;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string op;
        BackOffWait w;
        if (!(fields >> op >> w.id.datDev >> w.id.datIno >> w.id.msgDev >> w.id.msgIno)) continue;
        std::string name;
        if (op == "-") {
            waits.erase(w.id);
        } else if (op == "+" && fields >> w.waitMs >> w.notBefore >> w.reason >> name &&
                   FromHexField(name, w.name)) {
            waits[w.id] = w;
        }
    }
    for (auto& [id, w] : waits) out.push_back(std::move(w));
    return out;
}

bool RequestFlush(const std::string& stateDir, ErrorState& err) {
    struct stat st {};
    if (::lstat(stateDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err.Raise(ENOTDIR, "no state folder " + stateDir + " (the daemon has not run with it)");
        return false;
    }
    ErrorState open;
    const int fd = OpenRegularFile(AT_FDCWD, PathIn(stateDir, kFlushRequestFile),
                                   O_WRONLY | O_CREAT, 0600, open);
    if (fd < 0) {
        err.Raise(open.number,
                  "cannot make " + PathIn(stateDir, kFlushRequestFile) + ": " + open.description);
        return false;
    }
    ::close(fd);
    return true;
}

bool FlushRequested(const std::string& stateDir) {
    struct stat st {};
    return ::lstat(PathIn(stateDir, kFlushRequestFile).c_str(), &st) == 0;
}

}  // namespace bw
