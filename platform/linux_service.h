// The service component on Linux: a systemd unit "BWTarnOUT.service"
// (Type=notify, run as the user bwtarnout in systemd's sandbox; the text is
// the packaged unit's) in /etc/systemd/system or $BW_UNIT_DIR, syslog as the event
// log (ident "BWTarnOUT", facility daemon; plus one line on standard error
// unless systemd started us, INVOCATION_ID set), sd_notify for readiness, and
// SIGTERM, SIGINT and SIGHUP as the Stop event.
// DIAGNOSTICS: Install and Remove report false when the unit file cannot be
// written or deleted; a failing "systemctl daemon-reload" is ignored; Install
// warns on standard error when the service user does not exist.
#pragma once

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <memory>
#include <string>

#include "platform/service.h"

namespace bw {

class LinuxService final : public ServiceControl {
  public:
    static constexpr const char* kServiceName = "BWTarnOUT";
    static constexpr const char* kDisplayName = "BWD TarnOUT Service";
    /// The system user (and group) the unit runs the daemon as.
    static constexpr const char* kServiceUser = "bwtarnout";

    LinuxService();
    ~LinuxService() override;

    void SetServiceSetting(const std::string& section, const std::string& key,
                           const std::string& value) override;
    bool Install() override;
    bool Remove() override;
    void LogEvent(std::int16_t type, std::int32_t id, const std::string& text) override;
    void StartServing() override;

    /// Raises onStop on `io` for each SIGTERM, SIGINT or SIGHUP from now on.
    void WatchSignals(asio::io_context& io);

    /// The unit file: $BW_UNIT_DIR or /etc/systemd/system, + "/BWTarnOUT.service".
    static std::string UnitFilePath();
    /// The text of the unit file for this executable.
    std::string UnitText() const;
    /// The unit text (the same template the package installs) with a
    /// description and an executable.
    static std::string UnitText(const std::string& description, const std::string& exe);
    /// An executable's path as the first word of ExecStart=: quoted when it
    /// holds blanks, quotes or backslashes, "%" doubled.
    static std::string ExecStartPath(const std::string& exe);

  private:
    void ArmSignals();

    std::string description_ = kDisplayName;
    std::unique_ptr<asio::signal_set> signals_;
};

}  // namespace bw
