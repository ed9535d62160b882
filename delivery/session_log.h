// The session log: a readable trace of the delivery conversations, one file
// per calendar day ("Logs/SMTP-TarnOUT-YYYY-MM-DD.log" below AppPath), shared
// by all delivery windows. Written only while the setting "SMTPLog" is -1.
// Each line is opened, appended and closed in one call, so lines of several
// windows interleave but are never torn. The message body is never logged.
// No line carries a raw control character: they are shown as "\x0A" and the
// like, except the CR LF line ends of a server reply.
// DIAGNOSTICS: a line that cannot be written (folder missing, disk full) is
// lost without a word; the delivery goes on. A log file (or Logs folder) that
// is a link or not a regular file is never written; the journal says so once.
#pragma once

#include <string>

namespace bw {

class Clock;
class ServiceControl;
struct DeliverySettings;

class SessionLog {
  public:
    /// `settings` is read at each line (appPath, sessionLog); `journal` may be null.
    SessionLog(const DeliverySettings& settings, Clock& clock, ServiceControl* journal)
        : settings_(settings), clock_(clock), journal_(journal) {}

    /// Appends prefix, a blank, text and CR LF to today's session log.
    void LogLine(const std::string& prefix, const std::string& text);
    /// The three opening lines of a delivery session.
    void InitLogSession(const std::string& sAccPath);
    /// Path of the session log of the day of `daySerial`.
    std::string SessionLogPath(double daySerial) const;

  private:
    void Refuse(const std::string& path, const std::string& why);
    int OpenLogFile(const std::string& path);

    const DeliverySettings& settings_;
    Clock& clock_;
    ServiceControl* journal_;
    std::string refusedPath_;  // the last log file refused: the journal hears of it once
};

/// Calendar parts of a day-serial number (local time).
struct CivilTime {
    int year, month, day, hour, minute, second;
};
CivilTime CivilFromDaySerial(double daySerial);

}  // namespace bw
