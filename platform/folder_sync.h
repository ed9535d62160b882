// How a folder whose entries changed (a file moved in or out, or deleted) is
// made durable: synced at once (fsync of the folder), or named to a group
// that a worker syncs later (background_sync.h). The choice is made once, by
// whoever builds the delivery; the file operations only say which folder
// changed.
// DIAGNOSTICS: none; a folder that cannot be opened or synced is skipped
// (the kernel still writes it back on its own).
#pragma once

#include <string>

namespace bw {

class FolderSync {
  public:
    virtual ~FolderSync() = default;
    /// `folder` changed; `openFd` is a descriptor open on it, or -1.
    virtual void Changed(const std::string& folder, int openFd) = 0;
};

/// Syncs each changed folder before returning (shared, holds no state).
FolderSync& SyncFoldersAtOnce();

}  // namespace bw
