// A service control that records event-log entries and calls instead of
// touching the system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/service.h"

namespace bw {

/// Records event-log entries and calls instead of touching the system.
class FakeService final : public ServiceControl {
  public:
    struct Entry {
        std::int16_t type;
        std::int32_t id;
        std::string text;
    };
    void SetServiceSetting(const std::string& section, const std::string& key,
                           const std::string& value) override {
        settings.push_back(section + "|" + key + "=" + value);
    }
    bool Install() override {
        ++installs;
        return true;
    }
    bool Remove() override {
        ++removes;
        return true;
    }
    void LogEvent(std::int16_t type, std::int32_t id, const std::string& text) override {
        events.push_back({type, id, text});
    }
    void StartServing() override { ++startServing; }

    /// How many entries carry exactly this text.
    int Count(const std::string& text) const {
        int n = 0;
        for (const auto& e : events) n += e.text == text ? 1 : 0;
        return n;
    }

    std::vector<Entry> events;
    std::vector<std::string> settings;
    int installs = 0;
    int removes = 0;
    int startServing = 0;
};

}  // namespace bw
