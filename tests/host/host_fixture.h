// A host with every platform part faked: manual clock, recording service,
// in-memory settings stores, scripted desktop, and a process end that throws
// ProcessEnded. Each test gets its own folder with an "exe" folder (the
// program's own folder) and an "app" folder, and its own installation
// record, settings files and settings wrappers. (tests/app/daemon_fixture.h
// adds the daemon.)
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "host/host_platform.h"
#include "host/installation.h"
#include "host/settings.h"
#include "host/textfile.h"
#include "platform/loop.h"
#include "tests/support/fake_host_platform.h"
#include "tests/support/fake_service.h"
#include "tests/support/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace bw::test {

class HostTest : public ::testing::Test {
  protected:
    HostTest() {
        std::filesystem::create_directories(exeDir_);
        NewProcess();
    }
    /// A fresh process: a new installation record and settings files, the
    /// same stores and folders.
    void NewProcess() {
        inst_ = Installation{};
        files_.emplace(inst_.AppPath, inst_.AccPath,
                       [this](const std::string& text) { service_.LogEvent(2, 110, text); });
    }

    static void Put(const std::string& path, const std::string& text) { WriteFile(path, text); }
    static std::string Get(const std::string& path) { return ReadFile(path); }
    /// A machine-wide setting as stored (text values only), or "<missing>".
    std::string Stored(const std::string& section, const std::string& key) {
        const RegData* d =
            machine_.doc.Find("HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\" + section, key);
        if (d == nullptr) return "<missing>";
        return std::string(d->data.begin(), d->data.end() - 1);
    }
    void Store(const std::string& section, const std::string& key, const std::string& value) {
        machine_.doc.Set("HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\" + section, key,
                         RegText(1, value));
    }

    ManualClock clock_;
    Loop loop_{clock_};
    FakeService service_;
    MemorySettingsStore machine_;
    MemorySettingsStore user_;
    FakeDesktop desktop_;
    FakeInstanceLock lock_;
    FakeProcess process_;
    TempDir tmp_{"bw_host"};
    std::string root_ = tmp_.Path();
    std::string exeDir_ = root_ + "/exe";
    std::string appDir_ = root_ + "/app/";
    HostPlatform hp_{&clock_,   &loop_, &service_, &machine_, &user_,
                     &desktop_, &lock_, &process_, exeDir_};
    Installation inst_;
    std::optional<SettingsFiles> files_;
    Settings settings_{hp_, inst_};
};

}  // namespace bw::test
