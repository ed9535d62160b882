// A host with every platform part faked: manual clock, recording service,
// in-memory settings stores, scripted desktop, and a process end that throws
// ProcessEnded. Each test gets its own folder with an "exe" folder (the
// program's own folder) and an "app" folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "host/globals.h"
#include "host/host_platform.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/instance_lock.h"
#include "platform/loop.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/settings_store.h"
#include "tests/support/temp_dir.h"

namespace bw::test {

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetGlobals();
        tmp_ = std::make_unique<TempDir>("bw_host");
        root_ = tmp_->Path();
        exeDir_ = root_ + "/exe";
        appDir_ = root_ + "/app/";
        std::filesystem::create_directories(exeDir_);
        G().clock = &clock_;
        G().loop = &loop_;
        G().service = &service_;
        HostPlatform& hp = HP();
        hp = HostPlatform{};
        hp.machineSettings = &machine_;
        hp.userSettings = &user_;
        hp.desktop = &desktop_;
        hp.instanceLock = &lock_;
        hp.process = &process_;
        hp.exeFolder = exeDir_;
    }
    void TearDown() override {
        ResetGlobals();
        HP() = HostPlatform{};
        tmp_.reset();
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
    std::unique_ptr<TempDir> tmp_;
    std::string root_;
    std::string exeDir_;
    std::string appDir_;
};

}  // namespace bw::test
