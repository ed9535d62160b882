// How many sessions at once the internal mail server takes. "MaxSessions"
// is the most; in the modern conversation (the fast profile) a server that
// answers the greeting with 421 ("too many connections") or cannot be
// reached lowers it to one less than were running then, and each delivery
// raises it again by 1/limit (a whole session per `limit` deliveries) back to
// "MaxSessions", on the model of a destination's concurrency feedback. The
// limit is the first server entry's: the others stand in for it only when
// it fails. The classic conversation keeps "MaxSessions" whatever happens.
// DIAGNOSTICS: the journal hears when the limit drops below "MaxSessions"
// (a warning, once per drop) and when it is back (an information).
#pragma once

#include <string>

namespace bw {

class ServiceControl;

class ServerConcurrency {
  public:
    /// `journal` may be null.
    explicit ServerConcurrency(ServiceControl* journal) : journal_(journal) {}

    /// Lets the limit follow the server (the modern conversation).
    void Adapt(bool on) { adapt_ = on; }
    /// Sessions at once now, at most `maxSessions`.
    int Limit(int maxSessions) const;
    /// The server refused a session (`why`) while `running` ran, `server`
    /// as the session log names it.
    void Busy(const std::string& server, const char* why, int running, int maxSessions);
    /// The server took a message.
    void Delivered(int maxSessions);

  private:
    ServiceControl* journal_;
    bool adapt_ = false;
    double limit_ = 0;  // 0: not lowered
    std::string server_;
};

}  // namespace bw
