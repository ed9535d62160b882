// The session log: a readable trace of the delivery conversations, one file
// per calendar day ("Logs/SMTP-TarnOUT-YYYY-MM-DD.log" below AppPath), shared
// by all delivery sessions. Written only while the setting "SMTPLog" is -1.
// Each line goes out in one append, so lines of several sessions interleave
// but are never torn; each line of a session begins with the session's tag
// ("#" and its number, counted from 1 at each start of the daemon), and the
// session's opening lines name the queue pair the number stands for. The file
// is opened again at each session's start and at the change of day, not at
// every line. The message body is never logged.
// No line carries a raw control character: they are shown as "\x0A" and the
// like, except the CR LF line ends of a server reply.
// DIAGNOSTICS: a line that cannot be written (folder missing, disk full) is
// lost without a word; the delivery goes on. A log file (or Logs folder) that
// is a link or not a regular file is never written; the journal says so once.
#pragma once

#include <string>

namespace bw {

/// The prefixes of the session log's lines.
inline constexpr const char* kLogSend = "*--B->R";    // what the daemon sent
inline constexpr const char* kLogRecv = "*--B<-R";    // what the server answered
inline constexpr const char* kLogStatus = "*--*--*";  // the session's own account
inline constexpr const char* kLogError = "!!!";       // a pair that is not sent, a failed filing
inline constexpr const char* kLogDatabase = "*-*-*";  // a minilog row lost

class Clock;
class ServiceControl;
struct DeliverySettings;

class SessionLog {
  public:
    /// `settings` is read at each line (appPath, sessionLog); `journal` may be null.
    SessionLog(const DeliverySettings& settings, Clock& clock, ServiceControl* journal)
        : settings_(settings), clock_(clock), journal_(journal) {}

    ~SessionLog();
    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    /// Appends prefix, a blank, text and CR LF to today's session log; with a
    /// session's tag (not 0), "#tag" and a blank first.
    void LogLine(int tag, const std::string& prefix, const std::string& text);
    void LogLine(const std::string& prefix, const std::string& text) { LogLine(0, prefix, text); }
    /// The opening lines of a delivery session about `pair` ("Inbox/NAME";
    /// empty: none named); returns the session's tag.
    int InitLogSession(const std::string& accPath, const std::string& pair = "");
    /// Path of the session log of the day of `daySerial`.
    std::string SessionLogPath(double daySerial) const;

  private:
    void Refuse(const std::string& path, const std::string& why);
    int OpenLogFile(const std::string& path);
    void CloseLogFile();

    const DeliverySettings& settings_;
    Clock& clock_;
    ServiceControl* journal_;
    std::string refusedPath_;  // the last log file refused: the journal hears of it once
    int fd_ = -1;              // the log file open for appending
    std::string openPath_;     // ... and its path
    int lastTag_ = 0;
};

/// Calendar parts of a day-serial number (local time).
struct CivilTime {
    int year, month, day, hour, minute, second;
};
CivilTime CivilFromDaySerial(double daySerial);

}  // namespace bw
