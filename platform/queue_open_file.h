// One claimed queue file of the QueueFiles table (queue_files.h): its
// descriptor, the path it was claimed under, its identity and a read buffer.
// Only queue_files.cpp sees it.
// DIAGNOSTICS: a failed read raises the caller's ErrorState with the path.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/error_state.h"
#include "platform/queue_files.h"

namespace bw {

inline constexpr std::size_t kReadBuffer = 64 * 1024;

// A buffer to the file's measure (a claimed file is complete), so a small
// pair costs no 64 KB to clear; one byte more reads it to its end at once.
struct QueueFiles::OpenFile {
    OpenFile(int f, std::string p, const struct stat& st)
        : fd(f),
          path(std::move(p)),
          size(
              std::clamp<std::size_t>(static_cast<std::size_t>(st.st_size) + 1, 4096, kReadBuffer)),
          buf(new char[size]),
          dev(static_cast<std::uint64_t>(st.st_dev)),
          ino(static_cast<std::uint64_t>(st.st_ino)) {}

    int fd = -1;
    std::string path;
    std::size_t size = 0;         // of the buffer: the file's size at the claim, up to kReadBuffer
    std::unique_ptr<char[]> buf;  // not zeroed: only what read() filled is used
    std::uint64_t dev = 0, ino = 0;  // the file's identity at the claim
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
            const ssize_t n = ::read(fd, buf.get(), size);
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

    ~OpenFile() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace bw
