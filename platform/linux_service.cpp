#include "platform/linux_service.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "packaging/unit_template.h"
#include "platform/log_text.h"

extern char** environ;

namespace bw {

namespace {

std::string ExePath() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("/usr/sbin/bwtarnout") : exe.string();
}

void DaemonReload() {
    // Best effort: without systemd (containers, tests) this simply fails.
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"systemctl", "daemon-reload", nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "systemctl", &fa, nullptr, const_cast<char**>(argv), environ) == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    posix_spawn_file_actions_destroy(&fa);
}

}  // namespace

LinuxService::LinuxService() {
    ::openlog(kServiceName, LOG_PID, LOG_DAEMON);
}

LinuxService::~LinuxService() {
    ::closelog();
}

std::string LinuxService::UnitFilePath() {
    const char* env = std::getenv("BW_UNIT_DIR");
    const std::string dir = env != nullptr && *env != '\0' ? env : "/etc/systemd/system";
    return dir + "/" + kServiceName + ".service";
}

void LinuxService::SetServiceSetting(const std::string& /*section*/, const std::string& key,
                                     const std::string& value) {
    // The only service setting the program stores is the description, which
    // lives in the unit file.
    if (key == "Description") description_ = value;
}

std::string LinuxService::ExecStartPath(const std::string& exe) {
    // systemd splits the command line at blanks, takes quotes and backslashes
    // as escapes and expands "%" specifiers.
    bool quote = exe.empty();
    std::string body;
    for (const char c : exe) {
        if (c == '%') {
            body += "%%";
            continue;
        }
        if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\') quote = true;
        if (c == '"' || c == '\\') body += '\\';
        body += c;
    }
    return quote ? "\"" + body + "\"" : body;
}

std::string LinuxService::UnitText() const {
    return UnitText(description_, ExePath());
}

std::string LinuxService::UnitText(const std::string& description, const std::string& exe) {
    std::string text = kUnitTemplate;
    const auto put = [&text](const std::string& placeholder, const std::string& value) {
        for (auto at = text.find(placeholder); at != std::string::npos;
             at = text.find(placeholder, at + value.size())) {
            text.replace(at, placeholder.size(), value);
        }
    };
    // A line feed in the description would end the line and add a directive.
    std::string oneLine = description;
    std::replace_if(
        oneLine.begin(), oneLine.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    put("@BW_UNIT_DESCRIPTION@", oneLine);
    put("@BW_UNIT_EXEC@", ExecStartPath(exe));
    return text;
}

bool LinuxService::Install() {
    const std::string path = UnitFilePath();
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        std::cerr << kServiceName << ": cannot write " << tmp << ": " << std::strerror(errno)
                  << std::endl;
        return false;
    }
    const std::string text = UnitText();
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::cerr << kServiceName << ": cannot write " << path << ": " << std::strerror(errno)
                  << std::endl;
        std::remove(tmp.c_str());
        return false;
    }
    DaemonReload();
    if (::getpwnam(kServiceUser) == nullptr) {
        std::cerr << kServiceName << ": " << path << " runs the service as the user "
                  << kServiceUser << ", which does not exist yet (adduser --system --group "
                  << kServiceUser << ")" << std::endl;
    }
    return true;
}

bool LinuxService::Remove() {
    const std::string path = UnitFilePath();
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
        std::cerr << kServiceName << ": cannot delete " << path << ": " << std::strerror(errno)
                  << std::endl;
        return false;
    }
    DaemonReload();
    return true;
}

void LinuxService::LogEvent(std::int16_t type, std::int32_t id, const std::string& text) {
    int level = LOG_INFO;
    if (type == 1) level = LOG_ERR;
    if (type == 2) level = LOG_WARNING;
    // One entry is one line: a control character in the text is shown escaped.
    const std::string line = EscapeControls(text);
    ::syslog(LOG_DAEMON | level, "%s", line.c_str());
    if (std::getenv("INVOCATION_ID") == nullptr) {
        std::cerr << kServiceName << " [" << id << "]: " << line << std::endl;
    }
}

void LinuxService::StartServing() {
    ::sd_notify(0, "READY=1");
}

void LinuxService::WatchSignals(asio::io_context& io) {
    signals_ = std::make_unique<asio::signal_set>(io, SIGTERM, SIGINT, SIGHUP);
    ArmSignals();
}

void LinuxService::ArmSignals() {
    signals_->async_wait([this](const std::error_code& ec, int /*signo*/) {
        if (ec) return;
        ArmSignals();
        if (onStop) onStop();
    });
}

}  // namespace bw
