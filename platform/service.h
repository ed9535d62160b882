// The service component: unit install/remove, the event log, readiness, and
// the Start/Stop events. LinuxService realises it with a systemd unit file,
// syslog (plus standard error in a foreground run) and sd_notify; tests use
// FakeService, which records every entry; StderrService serves the
// commands run by hand.
// Event types: 1 error, 2 warning, 4 information. Nothing here is fatal; an
// install or remove that fails reports false.
#pragma once

#include <cstdint>
#include <functional>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace bw {

class ServiceControl {
  public:
    virtual ~ServiceControl() = default;
    /// Stores a service setting (the unit's description for "Description").
    virtual void SetServiceSetting(const std::string& section, const std::string& key,
                                   const std::string& value) = 0;
    virtual bool Install() = 0;
    virtual bool Remove() = 0;
    virtual void LogEvent(std::int16_t type, std::int32_t id, const std::string& text) = 0;
    virtual void StartServing() = 0;

    /// Raised on the loop when the service manager (or a signal) asks to stop.
    std::function<void()> onStop;
};

/// The event log of a command run by hand (bwpolicy, the queue view): each
/// entry is one line on standard error, "PROGRAM: text"; there is no unit.
class StderrService final : public ServiceControl {
  public:
    explicit StderrService(std::string program) : program_(std::move(program)) {}
    void SetServiceSetting(const std::string&, const std::string&, const std::string&) override {}
    bool Install() override { return false; }
    bool Remove() override { return false; }
    void LogEvent(std::int16_t, std::int32_t, const std::string& text) override {
        std::cerr << program_ << ": " << text << "\n";
    }
    void StartServing() override {}

  private:
    std::string program_;
};

}  // namespace bw
