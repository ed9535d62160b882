#include "delivery/queue_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "platform/ascii_text.h"
#include "platform/safe_open.h"

namespace bw {

namespace {

struct Found {
    std::string name;
    struct stat st {};
};

// Names of at least five characters in `folder` with what lstat shows, by
// lower-case name (the first name in sorted order wins when two differ only
// in case).
std::map<std::string, Found> FilesIn(const std::string& folder) {
    std::map<std::string, Found> files;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return files;
    const int dirFd = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() < 5) continue;
        Found f{name, {}};
        if (::fstatat(dirFd, name.c_str(), &f.st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const std::string key = LowerAscii(name);
        auto it = files.find(key);
        if (it == files.end() || name < it->second.name) files[key] = f;
    }
    ::closedir(dir);
    return files;
}

// Why the pair of these two files is none to send, "" when it is one.
std::string Unusable(const Found& dat, const Found* msg) {
    if (const char* kind = UnusableKind(dat.st, true)) return dat.name + " is " + kind;
    if (msg == nullptr) return "no .msg partner";
    if (const char* kind = UnusableKind(msg->st, true)) return msg->name + " is " + kind;
    return "";
}

std::int64_t RegularBytes(const struct stat& st) {
    return S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : 0;
}

std::vector<QueuedPair> ListFolder(const std::string& accPath, const char* folder,
                                   double nowSeconds, bool withUnusable) {
    const std::map<std::string, Found> files = FilesIn(accPath + folder + "/");
    std::vector<QueuedPair> here;
    for (const auto& [key, dat] : files) {
        if (key.compare(key.size() - 4, 4, ".dat") != 0) continue;
        const auto msgIt = files.find(key.substr(0, key.size() - 4) + ".msg");
        const Found* msg = msgIt == files.end() ? nullptr : &msgIt->second;
        QueuedPair p;
        p.unusable = Unusable(dat, msg);
        if (!p.unusable.empty() && !withUnusable) continue;
        p.folder = folder;
        p.name = dat.name.substr(0, dat.name.size() - 4);
        p.datName = dat.name;
        p.msgName = msg != nullptr ? msg->name : "";
        p.ageSeconds = std::max(0.0, nowSeconds - static_cast<double>(dat.st.st_mtime));
        p.bytes = RegularBytes(dat.st) + (msg != nullptr ? RegularBytes(msg->st) : 0);
        p.id.datDev = static_cast<std::uint64_t>(dat.st.st_dev);
        p.id.datIno = static_cast<std::uint64_t>(dat.st.st_ino);
        if (msg != nullptr) {
            p.id.msgDev = static_cast<std::uint64_t>(msg->st.st_dev);
            p.id.msgIno = static_cast<std::uint64_t>(msg->st.st_ino);
        }
        here.push_back(std::move(p));
    }
    std::sort(here.begin(), here.end(),
              [](const QueuedPair& a, const QueuedPair& b) { return a.name < b.name; });
    return here;
}

}  // namespace

std::vector<QueuedPair> ListQueuedPairs(const std::string& accPath, double nowSeconds) {
    std::vector<QueuedPair> pairs;
    for (const char* folder : kQueueListFolders) {
        std::vector<QueuedPair> here = ListFolder(accPath, folder, nowSeconds, false);
        pairs.insert(pairs.end(), here.begin(), here.end());
    }
    return pairs;
}

std::vector<QueuedPair> ListQueueEntries(const std::string& accPath, double nowSeconds) {
    std::vector<QueuedPair> entries;
    for (const char* folder : kQueueViewFolders) {
        std::vector<QueuedPair> here = ListFolder(accPath, folder, nowSeconds, true);
        entries.insert(entries.end(), here.begin(), here.end());
    }
    return entries;
}

}  // namespace bw
