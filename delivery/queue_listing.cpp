#include "delivery/queue_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "platform/ascii_text.h"

namespace bw {

namespace {

struct Found {
    std::string name;
    struct stat st {};
};

// Regular files with one link in `folder`, by lower-case name (the first name
// in sorted order wins when two differ only in case).
std::map<std::string, Found> RegularFiles(const std::string& folder) {
    std::map<std::string, Found> files;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return files;
    const int dirFd = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() < 5) continue;
        Found f{name, {}};
        if (::fstatat(dirFd, name.c_str(), &f.st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(f.st.st_mode) || f.st.st_nlink != 1) continue;
        const std::string key = LowerAscii(name);
        auto it = files.find(key);
        if (it == files.end() || name < it->second.name) files[key] = f;
    }
    ::closedir(dir);
    return files;
}

}  // namespace

std::vector<QueuedPair> ListQueuedPairs(const std::string& accPath, double nowSeconds) {
    std::vector<QueuedPair> pairs;
    for (const char* folder : kQueueListFolders) {
        const std::map<std::string, Found> files = RegularFiles(accPath + folder + "/");
        std::vector<QueuedPair> here;
        for (const auto& [key, dat] : files) {
            if (key.size() < 5 || key.compare(key.size() - 4, 4, ".dat") != 0) continue;
            const auto msg = files.find(key.substr(0, key.size() - 4) + ".msg");
            if (msg == files.end()) continue;
            QueuedPair p;
            p.folder = folder;
            p.name = dat.name.substr(0, dat.name.size() - 4);
            p.datName = dat.name;
            p.msgName = msg->second.name;
            p.ageSeconds = std::max(0.0, nowSeconds - static_cast<double>(dat.st.st_mtime));
            p.bytes = static_cast<std::int64_t>(dat.st.st_size + msg->second.st.st_size);
            here.push_back(std::move(p));
        }
        std::sort(here.begin(), here.end(),
                  [](const QueuedPair& a, const QueuedPair& b) { return a.name < b.name; });
        pairs.insert(pairs.end(), here.begin(), here.end());
    }
    return pairs;
}

}  // namespace bw
