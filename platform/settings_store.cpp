#include "platform/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace bw {

// --- RegFileStore ---------------------------------------------------------------

namespace {

bool ReadAll(int fd, std::string& out) {
    out.clear();
    char buf[8192];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ErrText(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

bool IsRegularFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

SettingsStore::Result RegFileStore::Query(std::int32_t root, const std::string& keyPath,
                                          const std::string& name, RegData& out,
                                          std::string& reason) {
    if (RootKeyName(root).empty()) {
        reason = "unknown root key";
        return Result::kFailed;
    }
    // Non-blocking: a pipe in place of the store must not hold up the start.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return Result::kMissing;
        reason = ErrText(path_, errno);
        return Result::kFailed;
    }
    if (!IsRegularFile(fd)) {
        reason = path_ + ": not a regular file";
        ::close(fd);
        return Result::kFailed;
    }
    std::string bytes;
    const bool ok = ReadAll(fd, bytes);
    const int err = errno;
    ::close(fd);
    if (!ok) {
        reason = ErrText(path_, err);
        return Result::kFailed;
    }
    RegDocument doc;
    if (!doc.Parse(bytes, reason)) {
        reason = path_ + ": " + reason;
        return Result::kFailed;
    }
    const RegData* v = doc.Find(FullKeyPath(root, keyPath), name);
    if (v == nullptr) return Result::kMissing;
    out = *v;
    return Result::kOk;
}

namespace {

// Opens and locks the store file itself. Another writer may have replaced it
// between our open and our lock; then the lock is on a dead file and we start
// over. Each retry means another writer finished a change, so a busy store can
// make us retry many times, but never for ever. -1 with a reason on failure.
int OpenLocked(const std::string& path, std::string& reason) {
    for (int attempt = 0; attempt < 100000; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd < 0) {
            reason = ErrText(path, errno);
            return -1;
        }
        if (!IsRegularFile(fd)) {
            reason = path + ": not a regular file";
            ::close(fd);
            return -1;
        }
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                reason = ErrText(path, errno);
                ::close(fd);
                return -1;
            }
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            return fd;
        }
        ::close(fd);
    }
    reason = path + ": the file keeps being replaced";
    return -1;
}

// Replaces the locked file `fd` (named `path`) by `text`: a temporary file
// with the old file's mode (and owner, for root), synced and renamed over it,
// then the folder synced.
bool ReplaceLocked(int fd, const std::string& path, const std::string& text, std::string& reason) {
    struct stat old {};
    ::fstat(fd, &old);
    std::string tmp = path + ".XXXXXX";
    const int tfd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (tfd < 0) {
        reason = ErrText(tmp, errno);
        return false;
    }
    ::fchmod(tfd, old.st_mode & 07777);
    // Written by root (an administrator's command), the store stays its owner's,
    // so the service's user can still read and write it.
    if (::geteuid() == 0 && ::fchown(tfd, old.st_uid, old.st_gid) != 0) {
        // root may always; should it fail, root's file is the store as before
    }
    bool ok = WriteAll(tfd, text) && ::fsync(tfd) == 0;
    int err = errno;
    ok = (::close(tfd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        reason = ErrText(path, err);
        return false;
    }
    const std::filesystem::path file(path);
    const std::string dir = file.has_parent_path() ? file.parent_path().string() : ".";
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace

SettingsStore::Result RegFileStore::Set(std::int32_t root, const std::string& keyPath,
                                        const std::string& name, const RegData& value,
                                        std::string& reason) {
    if (RootKeyName(root).empty()) {
        reason = "unknown root key";
        return Result::kOpenFailed;
    }
    const std::filesystem::path file(path_);
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);

    const int fd = OpenLocked(path_, reason);
    if (fd < 0) return Result::kOpenFailed;
    std::string bytes;
    RegDocument doc;
    if (!ReadAll(fd, bytes)) {
        reason = ErrText(path_, errno);
        ::close(fd);
        return Result::kOpenFailed;
    }
    if (!doc.Parse(bytes, reason)) {
        // Never overwrite a store we cannot understand.
        reason = path_ + ": " + reason;
        ::close(fd);
        return Result::kOpenFailed;
    }
    doc.Set(FullKeyPath(root, keyPath), name, value);
    const bool replaced = ReplaceLocked(fd, path_, doc.Serialize(), reason);
    ::close(fd);  // releases the lock
    return replaced ? Result::kOk : Result::kWriteFailed;
}

std::string MachineRegistryPath() {
    const char* env = std::getenv("BW_REGISTRY");
    if (env != nullptr && *env != '\0') return env;
    return "/etc/brimwarden/registry.reg";
}

std::string UserRegistryPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && *xdg != '\0') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/brimwarden/registry.reg";
}

}  // namespace bw
