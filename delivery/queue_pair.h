// A claimed queue pair: where it lies, its base name, and its two files held
// open (and locked) from the claim until the pair is filed or released. The
// pair owns its files: they are released (closed, the claim ends) when it is
// released, or at the latest when it is destroyed. It can be moved, not
// copied.
// DIAGNOSTICS: none; Release() closes what is open and never fails.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/queue_files.h"

namespace bw {

struct QueuePair {
    std::string accPath;  // the account folder, ending in "/"
    std::string folder;   // "Inbox/" or "Outbox/"
    std::string name;     // base name, without ".dat" / ".msg"
    std::int16_t datFile = 0;
    std::int16_t msgFile = 0;

    QueuePair() = default;
    /// Takes over the claimed files `dat` and `msg` of `files`.
    QueuePair(QueueFiles& files, std::string acc, std::string sub, std::string base,
              std::int16_t dat, std::int16_t msg)
        : accPath(std::move(acc)),
          folder(std::move(sub)),
          name(std::move(base)),
          datFile(dat),
          msgFile(msg),
          files_(&files) {}
    QueuePair(QueuePair&& other) noexcept { *this = std::move(other); }
    QueuePair& operator=(QueuePair&& other) noexcept {
        if (this == &other) return *this;
        Release();
        accPath = std::move(other.accPath);
        folder = std::move(other.folder);
        name = std::move(other.name);
        datFile = std::exchange(other.datFile, 0);
        msgFile = std::exchange(other.msgFile, 0);
        files_ = other.files_;
        return *this;
    }
    QueuePair(const QueuePair&) = delete;
    QueuePair& operator=(const QueuePair&) = delete;
    ~QueuePair() { Release(); }

    std::string QueuePath() const { return accPath + folder; }
    bool Open() const { return datFile != 0 && msgFile != 0; }
    /// Closes both files (the claim ends) and forgets their numbers.
    void Release() {
        if (files_ == nullptr) return;
        files_->CloseFileNo(datFile);
        files_->CloseFileNo(msgFile);
        datFile = 0;
        msgFile = 0;
    }

  private:
    QueueFiles* files_ = nullptr;
};

}  // namespace bw
