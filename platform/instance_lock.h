// The single-instance test: an exclusive, non-blocking flock on
// "BWTarnOUT.lock" in $BW_RUN_DIR (default /run/lock, falling back to /tmp
// when that folder cannot take the file). The lock lives as long as the
// process (or the object). FakeInstanceLock answers as told.
#pragma once

#include <string>

namespace bw {

class InstanceLock {
  public:
    virtual ~InstanceLock() = default;
    /// True when this process now holds the lock (no other instance runs).
    virtual bool TryAcquire() = 0;
};

class FlockInstanceLock final : public InstanceLock {
  public:
    FlockInstanceLock() = default;
    ~FlockInstanceLock() override;
    FlockInstanceLock(const FlockInstanceLock&) = delete;
    FlockInstanceLock& operator=(const FlockInstanceLock&) = delete;

    bool TryAcquire() override;
    /// The lock file used by the last TryAcquire.
    const std::string& LockFile() const { return file_; }

  private:
    int fd_ = -1;
    std::string file_;
};

class FakeInstanceLock final : public InstanceLock {
  public:
    bool TryAcquire() override { return !otherInstanceRuns; }
    bool otherInstanceRuns = false;
};

}  // namespace bw
