#include "platform/dir_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <asio/posix/stream_descriptor.hpp>
#include <cerrno>
#include <cstring>
#include <map>

#include "platform/loop.h"

namespace bw {

namespace {

constexpr std::uint32_t kMask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE |
                                IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

// Held by the pending read, so a completion after the watch has gone finds
// `alive` false and does nothing.
struct DirWatch::Impl : std::enable_shared_from_this<Impl> {
    Impl(Loop& loop, OnChange onChange, std::function<void()> onLost)
        : stream(loop.Io()), onChange(std::move(onChange)), onLost(std::move(onLost)) {}

    asio::posix::stream_descriptor stream;
    OnChange onChange;
    std::function<void()> onLost;
    std::map<int, int> folderOf;  // watch descriptor -> folder index
    int folders = 0;
    bool alive = true;
    bool reading = false;
    alignas(inotify_event) std::array<char, 64 * 1024> buf{};

    void Read() {
        if (reading) return;
        reading = true;
        auto self = shared_from_this();
        stream.async_read_some(asio::buffer(buf), [self](asio::error_code ec, std::size_t n) {
            self->reading = false;
            if (!self->alive) return;
            if (ec) {
                if (ec != asio::error::operation_aborted && self->onLost) self->onLost();
                return;
            }
            self->Dispatch(n);
            if (self->alive) self->Read();
        });
    }

    void Dispatch(std::size_t n) {
        bool lost = false;
        for (std::size_t off = 0; off + sizeof(inotify_event) <= n;) {
            inotify_event ev;
            std::memcpy(&ev, buf.data() + off, sizeof ev);
            const char* name = buf.data() + off + sizeof ev;
            off += sizeof ev + ev.len;
            if ((ev.mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                lost = true;
                continue;
            }
            const auto it = folderOf.find(ev.wd);
            if (it == folderOf.end() || ev.len == 0 || (ev.mask & IN_ISDIR) != 0) continue;
            const std::string file(name, strnlen(name, ev.len));
            FileChange change = FileChange::kWriting;
            if ((ev.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0) change = FileChange::kComplete;
            if ((ev.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) change = FileChange::kGone;
            onChange(it->second, file, change);
            if (!alive) return;
        }
        if (lost && onLost) onLost();
    }
};

DirWatch::DirWatch(Loop& loop, OnChange onChange, std::function<void()> onLost)
    : impl_(std::make_shared<Impl>(loop, std::move(onChange), std::move(onLost))) {}

DirWatch::~DirWatch() {
    impl_->alive = false;
    asio::error_code ignored;
    impl_->stream.close(ignored);
}

int DirWatch::Add(const std::string& folder, ErrorState& err) {
    if (!impl_->stream.is_open()) {
        const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) {
            err.Raise(errno, std::string("Cannot watch folders: ") + std::strerror(errno));
            return -1;
        }
        impl_->stream.assign(fd);
    }
    const int wd = ::inotify_add_watch(impl_->stream.native_handle(), folder.c_str(), kMask);
    if (wd < 0) {
        err.Raise(errno, "Cannot watch " + folder + ": " + std::strerror(errno));
        return -1;
    }
    const int index = impl_->folders++;
    impl_->folderOf[wd] = index;
    impl_->Read();
    return index;
}

}  // namespace bw
