// BackgroundSync: the fast profile's disk syncs, off the loop. The moves and
// deletions of queue files, and the appends to the state files, of a burst
// name their folders and files here; Flush() hands what gathered to a worker
// thread, which syncs each once (fsync), so that neither the loop nor the
// sessions wait on the disk. What is named here is already done in the
// kernel (it survives a crash of the process); the sync only makes it
// survive a power loss, a group interval later than an immediate sync would.
// DIAGNOSTICS: none; a path that cannot be opened or synced is skipped (the
// kernel still writes it back on its own).
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/folder_sync.h"

namespace bw {

class BackgroundSync final : public FolderSync {
  public:
    BackgroundSync() = default;
    /// Syncs what was handed over and not yet synced, then ends the worker.
    ~BackgroundSync();
    BackgroundSync(const BackgroundSync&) = delete;
    BackgroundSync& operator=(const BackgroundSync&) = delete;

    /// Names a folder or file to sync with the next group (links are not followed).
    void Add(const std::string& path);
    /// A changed folder is synced with the next group.
    void Changed(const std::string& folder, int /*openFd*/) override { Add(folder); }
    /// Hands the gathered paths to the worker (started at the first call) and returns.
    void Flush();

  private:
    void Work();

    std::set<std::string> gathered_;  // the loop's side
    std::mutex mutex_;
    std::condition_variable wake_;
    std::set<std::string> handed_;  // guarded by mutex_
    bool stop_ = false;             // guarded by mutex_
    std::thread worker_;
};

}  // namespace bw
