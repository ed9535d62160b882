#include "platform/folder_sync.h"

#include <fcntl.h>
#include <unistd.h>

namespace bw {

namespace {

class AtOnce final : public FolderSync {
  public:
    void Changed(const std::string& folder, int openFd) override {
        if (openFd >= 0) {
            ::fsync(openFd);
            return;
        }
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        ::fsync(fd);
        ::close(fd);
    }
};

}  // namespace

FolderSync& SyncFoldersAtOnce() {
    static AtOnce atOnce;  // holds no state
    return atOnce;
}

}  // namespace bw
