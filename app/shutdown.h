// Shutdown: the shutdown timer (1000 ms, on whenever it is loaded). Each
// tick waits for running deliveries up to
// 30 ticks, then asks "There are tranfers running! Quit anyways?" (No is the
// default); with no delivery left, or on Yes, it removes the notification icon
// and ends the process at once. No resets the count and unloads the timer.
#pragma once

#include <functional>
#include <memory>

namespace bw {

class Timer;
class SettingsFiles;
struct HostPlatform;
struct Installation;

class Shutdown {
  public:
    Shutdown(const HostPlatform& platform, const Installation& installation, SettingsFiles& files);
    ~Shutdown();

    bool Loaded() const { return timer_ != nullptr; }
    void Load();
    void Unload();
    /// Reading the timer's state loads it when it is not loaded (and a
    /// freshly loaded one is on).
    bool TimerEnabled();
    void EnableTimer();
    int ShutdownTicks() const { return shutdownTicks_; }
    /// Runs just before the process ends (the fast profile's last group).
    void SetBeforeEnd(std::function<void()> beforeEnd) { beforeEnd_ = std::move(beforeEnd); }
    /// How many deliveries run now (none until this is set).
    void CountRunningWith(std::function<int()> running) { running_ = std::move(running); }

    void OnTick();

  private:
    const HostPlatform& platform_;
    const Installation& installation_;
    SettingsFiles& files_;
    std::function<int()> running_;
    std::function<void()> beforeEnd_;
    std::unique_ptr<Timer> timer_;
    int shutdownTicks_ = 0;
};

}  // namespace bw
