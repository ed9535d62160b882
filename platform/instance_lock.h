// The single-instance test: an exclusive, non-blocking flock on
// RunDir() + "/BWTarnOUT.lock" (platform/run_paths.h). One path only: a lock
// held by a running instance means "another instance runs"; a lock that
// cannot be opened or taken for any other reason is a failure with its
// reason, never a run without the lock. The run folder is made (mode 0755)
// when it is missing. The lock lives as long as the process (or the object).
// DIAGNOSTICS: TryAcquire returns kFailed with the reason (file and system
// error); the caller says it and ends the process.
#pragma once

#include <string>

namespace bw {

class InstanceLock {
  public:
    enum class Result { kAcquired, kHeldByOther, kFailed };
    virtual ~InstanceLock() = default;
    /// kAcquired when this process now holds the lock; `reason` is set on kFailed.
    virtual Result TryAcquire(std::string& reason) = 0;
};

class FlockInstanceLock final : public InstanceLock {
  public:
    FlockInstanceLock() = default;
    ~FlockInstanceLock() override;
    FlockInstanceLock(const FlockInstanceLock&) = delete;
    FlockInstanceLock& operator=(const FlockInstanceLock&) = delete;

    Result TryAcquire(std::string& reason) override;
    /// The lock file used by the last TryAcquire.
    const std::string& LockFile() const { return file_; }

  private:
    int fd_ = -1;
    std::string file_;
};

/// A folder that belongs to one process: an exclusive, non-blocking flock on
/// folder + "/lock", held as long as the object, with the holder's own words
/// (its pid and what it serves) written into the file so that a second
/// process can name it. The folder is made (mode 0700) when it is missing.
class FolderLock {
  public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    /// True when this process now holds the folder; else `reason` names the
    /// folder and the holder (or why the lock could not be taken).
    bool Take(const std::string& folder, const std::string& holder, std::string& reason);

  private:
    int fd_ = -1;
};

}  // namespace bw
