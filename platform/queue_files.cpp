#include "platform/queue_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/ascii_text.h"
#include "platform/background_sync.h"
#include "platform/queue_open_file.h"

namespace bw {

namespace {

constexpr std::size_t kMaxFileNo = 511;

}  // namespace

namespace {

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int Release() {
        const int f = fd;
        fd = -1;
        return f;
    }
};

std::string Describe(const char* what, const std::string& path, int e) {
    return std::string(what) + " " + path + ": " + std::strerror(e);
}

bool SameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

bool EndsWithDat(const std::string& name) {
    return name.size() >= 4 && LowerAscii(name.substr(name.size() - 4)) == ".dat";
}

// Why a file of this kind is never used (or nullptr when it may be).
const char* UnsafeKind(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return "is a symbolic link";
    if (!S_ISREG(st.st_mode)) return "is not a regular file";
    if (st.st_nlink != 1) return "is a hard link (more than one name)";
    return nullptr;
}

// Creates a new file under a unique name beginning with `base` in `dirFd`;
// returns the descriptor and sets `tmpName`, or -1 with errno set.
int CreateUnique(int dirFd, const std::string& base, std::string& tmpName) {
    // The process, the attempt and the clock's nanoseconds make the name;
    // O_EXCL makes sure it is new.
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec ts {};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".%d-%u-%lx.tmp", static_cast<int>(::getpid()),
                      static_cast<unsigned>(attempt), static_cast<unsigned long>(ts.tv_nsec));
        tmpName = base + suffix;
        const int fd = ::openat(dirFd, tmpName.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t w = ::write(fd, data + done, size - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

int Rename(int fromDir, const std::string& from, int toDir, const std::string& to, bool noReplace) {
    return ::renameat2(fromDir, from.c_str(), toDir, to.c_str(), noReplace ? RENAME_NOREPLACE : 0);
}

// Copies the regular file `name` of `fromDir` to a unique temporary name in
// `toDir`, syncs it and renames it into place: the target is whole or absent
// after a crash. Only then is the source deleted.
bool CopyAcross(int fromDir, int toDir, const std::string& from, const std::string& to,
                bool noReplace, ErrorState& err) {
    const std::string name = NameOf(from);
    ErrorState open;
    Fd in(OpenRegularFile(fromDir, name, O_RDONLY, 0, open));
    if (in.fd < 0) {
        err.Raise(open.number, open.number == kUnsafeFile
                                   ? from + " is " + open.description
                                   : "Cannot open " + from + ": " + open.description);
        return false;
    }
    std::string tmp;
    Fd out(CreateUnique(toDir, NameOf(to), tmp));
    if (out.fd < 0) {
        err.Raise(errno, Describe("Cannot create a file in", FolderOf(to), errno));
        return false;
    }
    std::vector<char> buf(kReadBuffer);
    bool ok = true;
    while (ok) {
        const ssize_t n = ::read(in.fd, buf.data(), buf.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            err.Raise(errno, Describe("Read error on", from, errno));
            ok = false;
        } else if (!WriteAll(out.fd, buf.data(), static_cast<std::size_t>(n))) {
            err.Raise(errno, Describe("Write error on", FolderOf(to) + "/" + tmp, errno));
            ok = false;
        }
    }
    if (ok && ::fsync(out.fd) != 0) {
        err.Raise(errno, Describe("Cannot sync", FolderOf(to) + "/" + tmp, errno));
        ok = false;
    }
    if (ok && Rename(toDir, tmp, toDir, NameOf(to), noReplace) != 0) {
        err.Raise(errno, Describe("Cannot move into", to, errno));
        ok = false;
    }
    if (!ok) {
        ::unlinkat(toDir, tmp.c_str(), 0);
        return false;
    }
    ::fsync(toDir);
    if (::unlinkat(fromDir, name.c_str(), 0) != 0) {
        // The copy is complete; a source that stays behind is a duplicate, not a loss.
        err.Raise(errno, Describe("Cannot delete", from, errno));
        return false;
    }
    ::fsync(fromDir);
    return true;
}

}  // namespace

std::vector<std::string> ListQueueFolder(const std::string& folder, ErrorState& err) {
    std::vector<std::string> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) {
        err.Raise(ec.value(), "Cannot list " + folder + ": " + ec.message());
        return names;
    }
    for (const auto end = std::filesystem::directory_iterator(); it != end; it.increment(ec)) {
        if (ec) {
            err.Raise(ec.value(), "Cannot list " + folder + ": " + ec.message());
            return {};
        }
        const std::string name = it->path().filename().string();
        if (EndsWithDat(name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string FindNameNoCase(const std::string& folder, const std::string& name) {
    struct stat st {};
    if (::lstat((folder + name).c_str(), &st) == 0) return name;
    std::vector<std::string> found;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    for (const auto end = std::filesystem::directory_iterator(); !ec && it != end;
         it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (SameNoCase(entry, name)) found.push_back(std::move(entry));
    }
    if (found.empty()) return "";
    return *std::min_element(found.begin(), found.end());
}

QueueFiles::QueueFiles() : table_(kMaxFileNo + 1) {}

QueueFiles::~QueueFiles() = default;

QueueFiles::OpenFile* QueueFiles::Lookup(std::int16_t fileNo) const {
    if (fileNo <= 0 || static_cast<std::size_t>(fileNo) > kMaxFileNo) return nullptr;
    return table_[static_cast<std::size_t>(fileNo)].get();
}

std::int16_t QueueFiles::ClaimFile(const std::string& path, ErrorState& err) {
    std::size_t slot = 1;
    while (slot <= kMaxFileNo && table_[slot]) ++slot;
    if (slot > kMaxFileNo) {
        err.Raise(67, "Too many files");
        return 0;
    }
    const std::string name = NameOf(path);
    Fd dir(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0) {
        err.Raise(errno, Describe("Cannot open", path, errno));
        return 0;
    }
    // Looked at before it is opened: a link's target is never opened, and a
    // FIFO or device named like a queue file is never opened either.
    struct stat byName {};
    if (::fstatat(dir.fd, name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) != 0) {
        err.Raise(errno, Describe("Cannot open", path, errno));
        return 0;
    }
    if (S_ISLNK(byName.st_mode) || !S_ISREG(byName.st_mode)) {
        err.Raise(kUnsafeFile, name + " " + UnsafeKind(byName));
        return 0;
    }
    Fd fd(
        ::openat(dir.fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    if (fd.fd < 0) {
        if (errno == ELOOP) {
            err.Raise(kUnsafeFile, name + " is a symbolic link");
        } else {
            err.Raise(errno, Describe("Cannot open", path, errno));
        }
        return 0;
    }
    if (::flock(fd.fd, LOCK_EX | LOCK_NB) != 0) {
        err.Raise(errno, Describe("Cannot lock", path, errno));
        return 0;
    }
    // The lock is ours; make sure the name still leads to this very file.
    struct stat byFd {};
    if (::fstat(fd.fd, &byFd) != 0 ||
        ::fstatat(dir.fd, name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) != 0 ||
        byFd.st_dev != byName.st_dev || byFd.st_ino != byName.st_ino || byFd.st_nlink == 0) {
        err.Raise(ESTALE, "File was filed elsewhere while being claimed: " + path);
        return 0;
    }
    if (const char* why = UnsafeKind(byFd)) {
        err.Raise(kUnsafeFile, name + " " + why);
        return 0;
    }
    table_[slot] = std::make_unique<OpenFile>(fd.Release(), path, byFd);
    return static_cast<std::int16_t>(slot);
}

void QueueFiles::CloseFileNo(std::int16_t fileNo) {
    if (Lookup(fileNo) != nullptr) table_[static_cast<std::size_t>(fileNo)].reset();
}

bool QueueFiles::IdentityNo(std::int16_t fileNo, std::uint64_t& dev, std::uint64_t& ino) const {
    const OpenFile* f = Lookup(fileNo);
    if (f == nullptr) return false;
    dev = f->dev;
    ino = f->ino;
    return true;
}

std::string QueueFiles::FilePathNo(std::int16_t fileNo) const {
    const OpenFile* f = Lookup(fileNo);
    return f == nullptr ? std::string() : f->path;
}

bool QueueFiles::FileNoOpen(std::int16_t fileNo) const {
    return Lookup(fileNo) != nullptr;
}

int QueueFiles::OpenFileNoCount() const {
    int n = 0;
    for (const auto& f : table_) n += f ? 1 : 0;
    return n;
}

LineRead QueueFiles::ReadLineNo(std::int16_t fileNo, std::string& line, ErrorState& err,
                                std::size_t maxLen, bool* cut) {
    line.clear();
    if (cut != nullptr) *cut = false;
    if (maxLen == 0) maxLen = 1;
    OpenFile* f = Lookup(fileNo);
    if (f == nullptr) {
        err.Raise(52, "Bad file name or number");
        return LineRead::kError;
    }
    if (!f->Fill(err)) return f->failed ? LineRead::kError : LineRead::kEnd;
    while (true) {
        const char* start = f->buf.get() + f->pos;
        const std::size_t avail = std::min(f->len - f->pos, maxLen - line.size());
        const void* cr = std::memchr(start, '\r', avail);
        if (cr == nullptr) {
            line.append(start, avail);
            f->pos += avail;
            if (line.size() >= maxLen) {
                if (cut != nullptr) *cut = true;
                return LineRead::kLine;
            }
            if (!f->Fill(err)) return f->failed ? LineRead::kError : LineRead::kLine;
            continue;
        }
        const std::size_t n = static_cast<std::size_t>(static_cast<const char*>(cr) - start);
        line.append(start, n);
        f->pos += n + 1;
        // CR LF ends the line as one; the LF may sit in the next buffer.
        if (f->Fill(err) && f->buf[f->pos] == '\n') ++f->pos;
        return f->failed ? LineRead::kError : LineRead::kLine;
    }
}

LineRead QueueFiles::ReadBytesNo(std::int16_t fileNo, std::string& bytes, std::size_t maxLen,
                                 ErrorState& err) {
    bytes.clear();
    OpenFile* f = Lookup(fileNo);
    if (f == nullptr) {
        err.Raise(52, "Bad file name or number");
        return LineRead::kError;
    }
    while (bytes.size() < maxLen && f->Fill(err)) {
        const std::size_t n = std::min(f->len - f->pos, maxLen - bytes.size());
        bytes.append(f->buf.get() + f->pos, n);
        f->pos += n;
    }
    if (f->failed) return LineRead::kError;
    return bytes.empty() ? LineRead::kEnd : LineRead::kLine;
}

std::uint64_t QueueFiles::UnreadNo(std::int16_t fileNo) const {
    OpenFile* f = Lookup(fileNo);
    struct stat st {};
    const off_t at = f != nullptr ? ::lseek(f->fd, 0, SEEK_CUR) : -1;
    if (at < 0 || ::fstat(f->fd, &st) != 0) return 0;
    const auto unread = static_cast<std::uint64_t>(std::max<off_t>(st.st_size - at, 0));
    return unread + (f->len - f->pos);
}

bool QueueFiles::EightBitNo(std::int16_t fileNo) const {
    OpenFile* f = Lookup(fileNo);
    const auto high = [](char c) { return static_cast<unsigned char>(c) > 127; };
    if (f == nullptr) return false;
    bool found = std::any_of(f->buf.get() + f->pos, f->buf.get() + f->len, high);
    const std::unique_ptr<char[]> piece(new char[f->size]);
    const auto size = static_cast<ssize_t>(f->size);
    for (off_t at = ::lseek(f->fd, 0, SEEK_CUR); !found && at >= 0;) {
        const ssize_t n = ::pread(f->fd, piece.get(), f->size, at);
        found = n > 0 && std::any_of(piece.get(), piece.get() + n, high);
        at = n == size ? at + n : -1;  // a short read is the end
    }
    return found;
}

bool QueueFiles::AtEndNo(std::int16_t fileNo) {
    OpenFile* f = Lookup(fileNo);
    if (f == nullptr) return true;
    ErrorState ignored;
    return !f->Fill(ignored);
}

bool MoveFileSafe(const std::string& from, const std::string& to, bool noReplace, ErrorState& err,
                  FolderSync& sync) {
    Fd fromDir(::open(FolderOf(from).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fromDir.fd < 0) {
        err.Raise(errno, Describe("Cannot open", FolderOf(from), errno));
        return false;
    }
    Fd toDir(OpenRealFolder(FolderOf(to), err));
    if (toDir.fd < 0) return false;
    if (Rename(fromDir.fd, NameOf(from), toDir.fd, NameOf(to), noReplace) != 0) {
        if (errno == EXDEV) return CopyAcross(fromDir.fd, toDir.fd, from, to, noReplace, err);
        err.Raise(errno, "Cannot move " + from + " to " + to + ": " + std::strerror(errno));
        return false;
    }
    sync.Changed(FolderOf(to), toDir.fd);
    sync.Changed(FolderOf(from), fromDir.fd);
    return true;
}

bool DeleteFileSafe(const std::string& path, ErrorState& err, FolderSync& sync) {
    if (::unlink(path.c_str()) != 0) {
        err.Raise(errno, Describe("Cannot delete", path, errno));
        return false;
    }
    sync.Changed(FolderOf(path), -1);
    return true;
}

int OpenRealFolder(const std::string& folder, ErrorState& err) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // ELOOP: the last part is a link; ENOTDIR: it is a file.
        if (errno == ELOOP || errno == ENOTDIR) {
            err.Raise(ENOTDIR, path + " is not a real folder (a link or a file)");
        } else {
            err.Raise(errno, Describe("Cannot open", path, errno));
        }
        return -1;
    }
    return fd;
}

bool NameInRealFolder(const std::string& folder, const std::string& name) {
    ErrorState ignored;
    Fd dir(OpenRealFolder(folder, ignored));
    struct stat st {};
    return dir.fd >= 0 && ::fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ReplaceFile(const std::string& folder, const std::string& name, const std::string& bytes,
                 ErrorState& err) {
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0) {
        err.Raise(errno, Describe("Cannot open", folder, errno));
        return false;
    }
    std::string tmp;
    Fd out(CreateUnique(dir.fd, name, tmp));
    if (out.fd < 0) {
        err.Raise(errno, Describe("Cannot create a file in", folder, errno));
        return false;
    }
    const bool written = WriteAll(out.fd, bytes.data(), bytes.size());
    if (!written) err.Raise(errno, Describe("Write error on", folder + tmp, errno));
    if (!written || ::renameat(dir.fd, tmp.c_str(), dir.fd, name.c_str()) != 0) {
        err.Raise(errno, Describe("Cannot replace", folder + name, errno));
        ::unlinkat(dir.fd, tmp.c_str(), 0);
        return false;
    }
    return true;
}

}  // namespace bw
