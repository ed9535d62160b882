// The server side of one TCP connection on 127.0.0.1 for test servers:
// blocking reads with a short time-out (so that a stop flag is seen), a CR LF
// line reader on top, and whole writes. A read ends (false) when the client
// closes, the connection fails or the stop flag is set; nothing is thrown.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace bw::test {

/// Listens on a free port of 127.0.0.1; returns the socket (-1 on failure)
/// and sets `port`.
int ListenOnLoopback(int& port);

class PeerConnection {
  public:
    PeerConnection(int fd, const std::atomic<bool>& stop);
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    int Fd() const { return fd_; }
    /// Sends all of `s`; false when the connection fails.
    bool Write(const std::string& s);
    /// Next line without its CR LF. A line longer than `max` comes back in
    /// parts; `whole` (when given) is false on every part but the last.
    bool ReadLine(std::string& line, std::size_t max = std::string::npos, bool* whole = nullptr);
    /// Reads a message body up to its "." line, long lines in parts, so memory
    /// stays flat. Adds the bytes seen to `bytes` and, when `keep` is given,
    /// the body itself. Stops (false) once `bytes` reaches `limit`.
    bool ReadBody(std::uint64_t& bytes, std::string* keep, std::uint64_t limit = UINT64_MAX);
    /// Takes whatever is buffered (or reads some more); 0 at the end.
    std::size_t TakeSome();

  private:
    bool Fill();
    void Compact();

    int fd_;
    const std::atomic<bool>& stop_;
    std::string buf_;
    std::size_t head_ = 0;  // start of the unread part
    std::size_t scan_ = 0;  // where the search for CR LF goes on
};

}  // namespace bw::test
