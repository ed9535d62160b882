#include "platform/queue_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace bw {

namespace {

constexpr std::size_t kReadBuffer = 64 * 1024;
constexpr std::size_t kMaxFileNo = 511;

struct OpenFile {
    int fd = -1;
    std::string path;
    std::vector<char> buf = std::vector<char>(kReadBuffer);
    std::size_t pos = 0;
    std::size_t len = 0;
    bool eof = false;
    bool failed = false;

    /// Refills the buffer when it is used up; false at the end or on failure.
    bool Fill(ErrorState& err) {
        if (pos < len) return true;
        if (eof || failed) return false;
        pos = 0;
        len = 0;
        while (true) {
            const ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n > 0) {
                len = static_cast<std::size_t>(n);
                return true;
            }
            if (n == 0) {
                eof = true;
                return false;
            }
            if (errno == EINTR) continue;
            failed = true;
            err.Raise(errno, "Read error on " + path + ": " + std::strerror(errno));
            return false;
        }
    }
};

std::vector<std::unique_ptr<OpenFile>>& Table() {
    static std::vector<std::unique_ptr<OpenFile>> table(kMaxFileNo + 1);
    return table;
}

OpenFile* Lookup(std::int16_t fileNo) {
    if (fileNo <= 0 || static_cast<std::size_t>(fileNo) > kMaxFileNo) return nullptr;
    return Table()[static_cast<std::size_t>(fileNo)].get();
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string Describe(const char* what, const std::string& path, int e) {
    return std::string(what) + " " + path + ": " + std::strerror(e);
}

bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y && !(std::isalpha(x) && (x | 0x20) == (y | 0x20))) return false;
    }
    return true;
}

bool EndsWithDat(const std::string& name) {
    if (name.size() < 4) return false;
    const std::string tail = name.substr(name.size() - 4);
    return tail[0] == '.' && (tail[1] | 0x20) == 'd' && (tail[2] | 0x20) == 'a' &&
           (tail[3] | 0x20) == 't';
}

// Copies `from` to a temporary name in the folder of `to`, syncs it and renames
// it into place: the target is whole or absent after a crash.
bool CopyAcross(const std::string& from, const std::string& to, bool noReplace, ErrorState& err) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        err.Raise(errno, Describe("Cannot open", from, errno));
        return false;
    }
    const std::string tmp = to + ".tmp" + std::to_string(::getpid());
    const int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        err.Raise(errno, Describe("Cannot create", tmp, errno));
        ::close(in);
        return false;
    }
    std::vector<char> buf(kReadBuffer);
    bool ok = true;
    while (ok) {
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            err.Raise(errno, Describe("Read error on", from, errno));
            ok = false;
            break;
        }
        ssize_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                err.Raise(errno, Describe("Write error on", tmp, errno));
                ok = false;
                break;
            }
            done += w;
        }
    }
    if (ok && ::fsync(out) != 0) {
        err.Raise(errno, Describe("Cannot sync", tmp, errno));
        ok = false;
    }
    ::close(out);
    ::close(in);
    if (ok) {
        const int r =
            noReplace ? ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE)
                      : ::rename(tmp.c_str(), to.c_str());
        if (r != 0) {
            err.Raise(errno, Describe("Cannot move into", to, errno));
            ok = false;
        }
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    SyncFolder(FolderOf(to));
    if (::unlink(from.c_str()) != 0) {
        // The copy is complete; a source that stays behind is a duplicate, not a loss.
        err.Raise(errno, Describe("Cannot delete", from, errno));
        return false;
    }
    SyncFolder(FolderOf(from));
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

std::int16_t ClaimFile(const std::string& path, ErrorState& err) {
    auto& table = Table();
    std::size_t slot = 1;
    while (slot <= kMaxFileNo && table[slot]) ++slot;
    if (slot > kMaxFileNo) {
        err.Raise(67, "Too many files");
        return 0;
    }
    // O_NONBLOCK: a FIFO or device named like a queue file must not hold the
    // loop in open(); it is refused below as not a regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        err.Raise(errno, Describe("Cannot open", path, errno));
        return 0;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err.Raise(errno, Describe("Cannot lock", path, errno));
        ::close(fd);
        return 0;
    }
    // The lock is ours; make sure the name still leads to this very file.
    struct stat byFd {};
    struct stat byName {};
    if (::fstat(fd, &byFd) != 0 || ::stat(path.c_str(), &byName) != 0 ||
        byFd.st_dev != byName.st_dev || byFd.st_ino != byName.st_ino || byFd.st_nlink == 0) {
        err.Raise(ESTALE, "File was filed elsewhere while being claimed: " + path);
        ::close(fd);
        return 0;
    }
    if (!S_ISREG(byFd.st_mode)) {
        err.Raise(EISDIR, "Not a regular file: " + path);
        ::close(fd);
        return 0;
    }
    auto file = std::make_unique<OpenFile>();
    file->fd = fd;
    file->path = path;
    table[slot] = std::move(file);
    return static_cast<std::int16_t>(slot);
}

void CloseFileNo(std::int16_t fileNo) {
    OpenFile* f = Lookup(fileNo);
    if (f == nullptr) return;
    ::close(f->fd);
    Table()[static_cast<std::size_t>(fileNo)].reset();
}

std::string FilePathNo(std::int16_t fileNo) {
    const OpenFile* f = Lookup(fileNo);
    return f == nullptr ? std::string() : f->path;
}

bool FileNoOpen(std::int16_t fileNo) {
    return Lookup(fileNo) != nullptr;
}

int OpenFileNoCount() {
    int n = 0;
    for (const auto& f : Table()) n += f ? 1 : 0;
    return n;
}

LineRead ReadLineNo(std::int16_t fileNo, std::string& line, ErrorState& err, std::size_t maxLen,
                    bool* cut) {
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
        const char* start = f->buf.data() + f->pos;
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

bool AtEndNo(std::int16_t fileNo) {
    OpenFile* f = Lookup(fileNo);
    if (f == nullptr) return true;
    ErrorState ignored;
    return !f->Fill(ignored);
}

bool MoveFileSafe(const std::string& from, const std::string& to, bool noReplace, ErrorState& err) {
    const int r = noReplace
                      ? ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE)
                      : ::rename(from.c_str(), to.c_str());
    if (r != 0) {
        if (errno == EXDEV) return CopyAcross(from, to, noReplace, err);
        err.Raise(errno, "Cannot move " + from + " to " + to + ": " + std::strerror(errno));
        return false;
    }
    SyncFolder(FolderOf(to));
    SyncFolder(FolderOf(from));
    return true;
}

bool DeleteFileSafe(const std::string& path, ErrorState& err) {
    if (::unlink(path.c_str()) != 0) {
        err.Raise(errno, Describe("Cannot delete", path, errno));
        return false;
    }
    SyncFolder(FolderOf(path));
    return true;
}

}  // namespace bw
