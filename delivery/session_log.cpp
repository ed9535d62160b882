#include "delivery/session_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "delivery/delivery_context.h"
#include "platform/clock.h"
#include "platform/log_text.h"
#include "platform/queue_files.h"
#include "platform/service.h"

namespace bw {

CivilTime CivilFromDaySerial(double daySerial) {
    // Whole seconds since 30 December 1899, rounded so 12:00:00 never shows as 11:59:59.
    const long long total = std::llround(daySerial * 86400.0);
    long long days = total / 86400;
    long long secs = total % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // Days since 1970-01-01, then Howard Hinnant's civil-from-days.
    long long z = days - 25569 + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1;
    const long long m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    return {static_cast<int>(y),
            static_cast<int>(m),
            static_cast<int>(d),
            static_cast<int>(secs / 3600),
            static_cast<int>(secs / 60 % 60),
            static_cast<int>(secs % 60)};
}

std::string SessionLog::SessionLogPath(double daySerial) const {
    const CivilTime t = CivilFromDaySerial(daySerial);
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.year, t.month, t.day);
    return settings_.appPath + "Logs/SMTP-TarnOUT-" + date + ".log";
}

void SessionLog::Refuse(const std::string& path, const std::string& why) {
    if (refusedPath_ == path) return;
    refusedPath_ = path;
    if (journal_ != nullptr) {
        journal_->LogEvent(2, 110, EscapeControls("Session log " + path + " not written: " + why));
    }
}

// Opens today's log for appending: the Logs folder must be a real folder and
// the file a regular file with one link, so no line is written through a link.
int SessionLog::OpenLogFile(const std::string& path) {
    const std::string folder = path.substr(0, path.find_last_of('/'));
    const std::string name = path.substr(path.find_last_of('/') + 1);
    ErrorState err;
    const int dir = OpenRealFolder(folder, err);
    if (dir < 0) {
        // A missing folder loses the line quietly; anything else in its place is said.
        if (err.number != ENOENT) Refuse(path, err.description);
        return -1;
    }
    const int fd =
        ::openat(dir, name.c_str(),
                 O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    const int openErr = errno;
    ::close(dir);
    struct stat st {};
    if (fd < 0) {
        if (openErr == ELOOP) Refuse(path, "it is a symbolic link");
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        Refuse(path, S_ISREG(st.st_mode) ? "it is a hard link" : "it is not a regular file");
        ::close(fd);
        return -1;
    }
    return fd;
}

SessionLog::~SessionLog() {
    CloseLogFile();
}

void SessionLog::CloseLogFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    openPath_.clear();
}

void SessionLog::LogLine(int tag, const std::string& prefix, const std::string& text) {
    if (!settings_.sessionLog) return;
    const std::string path = SessionLogPath(clock_.Now());
    if (fd_ < 0 || path != openPath_) {
        CloseLogFile();
        fd_ = OpenLogFile(path);
        if (fd_ < 0) return;
        openPath_ = path;
    }
    // A reply keeps its own CR LF line ends; every other control byte, and a
    // CR or LF anywhere else, is escaped so no text can forge a log line.
    const bool reply = prefix == kLogRecv;
    const std::string mark = tag != 0 ? "#" + std::to_string(tag) + " " : std::string();
    std::string shown = EscapeControls(text, reply);
    // Each line of a multi-line reply carries the tag too.
    for (std::size_t at = shown.find("\r\n");
         !mark.empty() && at != std::string::npos && at + 2 < shown.size();
         at = shown.find("\r\n", at + 2 + mark.size())) {
        shown.insert(at + 2, mark);
    }
    std::string line = mark + EscapeControls(prefix);
    line.append(" ").append(shown).append("\r\n");
    // One write per line: with O_APPEND concurrent writers never tear a line.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

int SessionLog::InitLogSession(const std::string& accPath, const std::string& pair) {
    // A log file moved away or removed since is written anew from here on.
    CloseLogFile();
    const int tag = pair.empty() ? 0 : ++lastTag_;
    LogLine(tag, kLogStatus,
            "===== TARN-OUT SMTP CLIENT ============================================");
    const CivilTime t = CivilFromDaySerial(clock_.Now());
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02d.%02d.%04d - %02d:%02d:%02d", t.day, t.month, t.year,
                  t.hour, t.minute, t.second);
    LogLine(tag, kLogStatus, std::string("Session started:") + stamp);
    LogLine(tag, kLogStatus, "AccPath: '" + accPath + "'");
    if (!pair.empty()) LogLine(tag, kLogStatus, "Queue pair: '" + pair + "'");
    return tag;
}

}  // namespace bw
