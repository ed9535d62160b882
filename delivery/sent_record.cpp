#include "delivery/sent_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <utility>

#include "delivery/record_fields.h"
#include "platform/queue_files.h"
#include "platform/safe_open.h"
#include "platform/service.h"

namespace bw {

namespace {

constexpr std::size_t kMaxRecordBytes = 4 << 20;
// A record that has grown past this while pairs stay remembered is rewritten.
constexpr off_t kCompactBytes = 1 << 20;

std::string IdText(const PairId& id) {
    return std::to_string(id.datDev) + " " + std::to_string(id.datIno) + " " +
           std::to_string(id.msgDev) + " " + std::to_string(id.msgIno);
}

std::string AddLine(const SentEntry& e) {
    return "+ " + IdText(e.id) + " " + (e.refused ? "B" : "D") + " " + HexField(e.name) + "\n";
}

bool SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

SentRecord::SentRecord(std::string path, ServiceControl* journal)
    : path_(std::move(path)), journal_(journal) {}

SentRecord::~SentRecord() {
    if (fd_ >= 0) ::close(fd_);
}

void SentRecord::Journal(bool& said, std::int16_t type, const std::string& text) {
    if (said) return;
    said = true;
    if (journal_ != nullptr) journal_->LogEvent(type, 110, text);
}

// Something else than a regular file holds the record's name (a pipe, a
// folder, a link): it is left alone, and pairs are remembered in memory until
// a regular file, or none, is there again.
void SentRecord::Unusable(const std::string& kind) {
    behind_ = true;
    Journal(saidUnusable_, 1,
            "Sent record " + path_ + " is " + kind +
                ", not a regular file: not used; until it is, pairs taken are remembered in "
                "memory only (after a restart they may be sent again)");
}

void SentRecord::Load() {
    if (loaded_) return;
    loaded_ = true;
    ErrorState err;
    const int fd = OpenRegularFile(AT_FDCWD, path_, O_RDONLY, 0, err);
    if (fd < 0) {
        if (err.number == kUnsafeFile) {
            Unusable(err.description);
        } else if (err.number != ENOENT) {
            Journal(saidRead_, 2,
                    "Sent record " + path_ + " cannot be read: " + err.description +
                        "; pairs taken before the start may be sent again");
        }
        return;
    }
    std::string text;
    char buf[8192];
    while (text.size() < kMaxRecordBytes) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    // "+ ids kind name" remembers a pair, "- ids" forgets it; a torn or foreign
    // line names no pair.
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string op;
        SentEntry e;
        if (!(fields >> op >> e.id.datDev >> e.id.datIno >> e.id.msgDev >> e.id.msgIno)) continue;
        if (op == "-") {
            sent_.erase(e.id);
            continue;
        }
        std::string kind;
        std::string name;
        if (op != "+" || !(fields >> kind >> name) || (kind != "D" && kind != "B") ||
            !FromHexField(name, e.name)) {
            continue;
        }
        e.refused = kind == "B";
        sent_[e.id] = e;
    }
}

void SentRecord::WriteFailed(const std::string& what, const std::string& why) {
    Journal(saidWrite_, 2,
            "Sent record " + path_ + " cannot be written (" + what + ": " + why +
                "); pairs taken are remembered until the daemon stops");
}

// Rewrites the record with the pairs remembered now, through a new file that
// is synced and renamed into place (the start of a log grown long).
bool SentRecord::Compact() {
    const std::string& path = path_;
    std::string text;
    for (const auto& [id, e] : sent_) text += AddLine(e);
    const std::string tmp = path + ".new." + std::to_string(::getpid());
    ::unlink(tmp.c_str());  // left by an earlier run of the same number, of whatever kind
    ErrorState err;
    const int fd = OpenRegularFile(AT_FDCWD, tmp, O_WRONLY | O_CREAT | O_EXCL, 0600, err);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    ::fsync(fd) == 0 && ::rename(tmp.c_str(), path.c_str()) == 0;
    ::close(fd);
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    SyncFolder(FolderOf(path_));
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return true;
}

// The record open for appending; created (and its name synced) when missing.
bool SentRecord::Open() {
    if (fd_ >= 0) return true;
    const std::string dir = FolderOf(path_);
    ::mkdir(dir.c_str(), 0700);  // systemd creates it; a plain run may not have
    ErrorState err;
    fd_ = OpenRegularFile(AT_FDCWD, path_, O_WRONLY | O_APPEND | O_CREAT, 0600, err);
    if (fd_ < 0) {
        if (err.number == kUnsafeFile) {
            Unusable(err.description);
        } else {
            behind_ = true;
            WriteFailed("open", err.description);
        }
        return false;
    }
    SyncFolder(dir);
    if (behind_) CatchUp();
    return fd_ >= 0;
}

// The record lived in memory only for a while: the file gets all of it, and
// the journal hears that it is written again.
void SentRecord::CatchUp() {
    std::string text;
    for (const auto& [id, e] : sent_) text += AddLine(e);
    if (::ftruncate(fd_, 0) != 0 ||
        ::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        WriteFailed("write", std::strerror(errno));
        return;
    }
    unsynced_ = true;
    behind_ = false;
    saidUnusable_ = saidWrite_ = false;
    if (journal_ != nullptr)
        journal_->LogEvent(4, 110, "Sent record " + path_ + " is written again");
}

void SentRecord::Append(const std::string& line, bool sync) {
    if (!Open()) return;
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_nlink == 0) {
        // Removed or replaced since it was opened: the name gets the whole record.
        ::close(fd_);
        fd_ = -1;
        behind_ = true;
        if (!Open()) return;
    }
    if (fd_ >= 0 && st.st_nlink == 0 && ::fstat(fd_, &st) != 0) st.st_size = 0;
    if (st.st_size > kCompactBytes && Compact() && !Open()) return;
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        WriteFailed("write", std::strerror(errno));
        return;
    }
    unsynced_ = true;
    if (sync && !groupedSync_) SyncGroup();
}

void SentRecord::SetGroupedSync(bool on) {
    if (!on) SyncGroup();
    groupedSync_ = on;
}

void SentRecord::SyncGroup() {
    if (fd_ < 0 || !unsynced_) return;
    unsynced_ = false;
    if (::fdatasync(fd_) != 0) WriteFailed("sync", std::strerror(errno));
}

bool IdentifyPair(const QueueFiles& files, std::int16_t datFile, std::int16_t msgFile, PairId& id) {
    // The claim made sure each name leads to the file it locked.
    std::uint64_t d[4] = {};
    if (!files.IdentityNo(datFile, d[0], d[1]) || !files.IdentityNo(msgFile, d[2], d[3])) {
        return false;
    }
    id = {d[0], d[1], d[2], d[3]};
    return true;
}

SentEntry* SentRecord::FindSent(const PairId& id, const std::string& name) {
    Load();
    auto it = sent_.find(id);
    if (it == sent_.end() || it->second.name != name) return nullptr;
    return &it->second;
}

void SentRecord::RememberSent(const SentEntry& entry) {
    Load();
    sent_[entry.id] = entry;
    Append(AddLine(entry), true);  // on disk before the filing starts
}

void SentRecord::ForgetSent(const PairId& id) {
    Load();
    if (sent_.erase(id) == 0) return;
    // Not synced: a forgetting lost in a crash leaves a line naming a pair
    // that has left the queue, which matches nothing.
    if (sent_.empty()) {
        if (Open() && ::ftruncate(fd_, 0) != 0) WriteFailed("truncate", std::strerror(errno));
    } else {
        Append("- " + IdText(id) + "\n", false);
    }
}

std::size_t SentRecord::SentCount() {
    Load();
    return sent_.size();
}

}  // namespace bw
