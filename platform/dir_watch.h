// DirWatch: the folders the delivery takes work from, watched through inotify
// on the loop (an Asio stream descriptor), so a file is seen the moment its
// writer closes it rather than at the next listing.
//
// Each event names the folder (its index in the order added) and the file,
// and says what happened to it: being written (created or changed), complete
// (closed after writing, or renamed into the folder) or gone (deleted or
// renamed away). Names of sub-folders are not reported. When the kernel's
// queue overflowed, or a watched folder itself went away, onLost runs instead:
// events were missed and the caller must list the folders again.
// DIAGNOSTICS: Add() returns a failed state (errno and text) when the folder
// cannot be watched; a read failure of the inotify descriptor raises onLost
// once and ends the watch. Nothing throws.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/error_state.h"

namespace bw {

class Loop;

enum class FileChange { kWriting, kComplete, kGone };

class DirWatch {
  public:
    using OnChange = std::function<void(int folder, const std::string& name, FileChange change)>;

    DirWatch(Loop& loop, OnChange onChange, std::function<void()> onLost);
    ~DirWatch();
    DirWatch(const DirWatch&) = delete;
    DirWatch& operator=(const DirWatch&) = delete;

    /// Watches `folder`; returns its index (0, 1, ...) or -1 with `err` raised.
    int Add(const std::string& folder, ErrorState& err);

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace bw
