// A global read lock on a MariaDB server for the benches: FLUSH TABLES WITH
// READ LOCK taken on a connection of its own and held until Release() (or
// the object's end), as an administrator's backup tool holds it. Every
// commit on the server waits meanwhile; reads go on.
// DIAGNOSTICS: Hold() returns false (and says why on stderr) when the
// server cannot be reached or refuses the lock.
#pragma once

#include <string>

struct st_mysql;

namespace bw::bench {

class GlobalReadLock {
  public:
    GlobalReadLock() = default;
    ~GlobalReadLock() { Release(); }
    GlobalReadLock(const GlobalReadLock&) = delete;
    GlobalReadLock& operator=(const GlobalReadLock&) = delete;

    /// Takes the lock on the server at 127.0.0.1:`port` (user bw).
    bool Hold(int port);
    /// Ends the lock by closing its connection.
    void Release();
    bool Held() const { return conn_ != nullptr; }

  private:
    st_mysql* conn_ = nullptr;
};

}  // namespace bw::bench
