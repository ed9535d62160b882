#include "platform/state_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/run_paths.h"
#include "platform/safe_open.h"

namespace bw {
namespace {

constexpr std::size_t kLongestName = 200;  // well below NAME_MAX (255)

bool IsRegular(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The last holder's line of an earlier daemon's lock, if the lock is free;
// `fd` keeps it held while the files move.
bool TakeEarlierLock(const std::string& file, int& fd, std::string& holder) {
    ErrorState err;
    fd = OpenRegularFile(AT_FDCWD, file, O_RDWR, 0600, err);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        fd = -1;
        return false;
    }
    char text[512] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    holder.assign(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    holder = holder.substr(0, holder.find('\n'));
    return true;
}

}  // namespace

std::string InstallationName(const std::string& appPath) {
    std::string path = appPath;
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty()) return "_2f";  // the root folder itself
    std::string name;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || (c == '.' && i > 0 && path[i - 1] != '/');
        if (c == '/') {
            name += '-';
        } else if (plain) {
            name += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "_%02x", c);
            name += hex;
        }
    }
    if (name.size() <= kLongestName) return name;
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the whole folder
    for (const char c : appPath) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char tail[20];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
    return name.substr(0, kLongestName - 17) + tail;
}

std::string StateFolderFor(const std::string& appPath, const std::string& root) {
    if (std::string chosen = FolderFromEnv("BW_STATE_DIR", "STATE_DIRECTORY"); !chosen.empty()) {
        return chosen;
    }
    return root + "/" + InstallationName(appPath);
}

std::string FindStateFolder(const std::string& appPath, const std::string& root) {
    if (std::string chosen = FolderFromEnv("BW_STATE_DIR", "STATE_DIRECTORY"); !chosen.empty()) {
        return chosen;
    }
    ErrorState err;
    const int fd = OpenRegularFile(AT_FDCWD, root + "/lock", O_RDONLY, 0, err);
    if (fd >= 0) {
        char text[512] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        std::string holder(text, n > 0 ? static_cast<std::size_t>(n) : 0);
        holder = holder.substr(0, holder.find('\n'));
        if (holder.ends_with("application folder " + appPath)) return root;
    }
    return root + "/" + InstallationName(appPath);
}

std::string AdoptEarlierState(const std::string& stateDir, const std::string& appPath,
                              const std::string& root) {
    if (stateDir != root + "/" + InstallationName(appPath)) return "";  // chosen by the setting
    struct stat st {};
    if (::lstat(stateDir.c_str(), &st) == 0 || errno != ENOENT) return "";
    static const char* const kFiles[] = {"audit.spool", "sent-pairs"};
    bool any = false;
    for (const char* f : kFiles) any = any || IsRegular(root + "/" + f);
    if (!any) return "";
    const std::string earlier = "State files of an earlier daemon in " + root + " ";
    int fd = -1;
    std::string holder;
    if (!TakeEarlierLock(root + "/lock", fd, holder)) {
        return earlier + "left where they are: their lock is missing or held by a running daemon";
    }
    const std::string mine = "application folder " + appPath;
    if (holder.size() < mine.size() ||
        holder.compare(holder.size() - mine.size(), mine.size(), mine) != 0) {
        ::close(fd);
        return earlier + "left where they are: they belong to another installation (" + holder +
               ")";
    }
    std::string moved;
    std::string failed;
    if (::mkdir(stateDir.c_str(), 0700) != 0) {
        failed = std::string(" (cannot make ") + stateDir + ": " + std::strerror(errno) + ")";
    } else {
        for (const char* f : kFiles) {
            const std::string from = root + "/" + f;
            if (!IsRegular(from)) continue;
            if (::rename(from.c_str(), (stateDir + "/" + f).c_str()) == 0) {
                moved += std::string(moved.empty() ? "" : ", ") + f;
            } else {
                failed += std::string(" (") + f + ": " + std::strerror(errno) + ")";
            }
        }
    }
    ::close(fd);
    if (failed.empty()) return earlier + "taken over into " + stateDir + ": " + moved;
    return earlier + "not all taken over into " + stateDir + failed +
           (moved.empty() ? "" : "; moved: " + moved);
}

}  // namespace bw
