// Daemon: the running program. It owns the queue timer and the database
// check timer, the delivery, the database thread, the metrics, the status
// icon (a debug trace line on Linux) and the shutdown timer.
// Start() is the whole start-up; Close() (SIGTERM, SIGINT, SIGHUP) ends the process
// through the shutdown timer.
// DIAGNOSTICS: the fatal start-up paths write one event-log entry (type 4,
// id 110) and end the process at once: "AppPath Problem!!", "Unable to create Folder Structure!!"
// and (from the settings wrappers) "Registry Problem: ...". A second instance, "-install",
// "-remove" and an empty language choice end without an entry.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/shutdown.h"

namespace bw {

class DaemonMetrics;
class DatabaseWorker;
class DbAudit;
class ProfileParts;
struct RuntimeState;
struct Delivery;
class Timer;
class Settings;
class SettingsFiles;
struct HostPlatform;
struct Installation;

/// "Brimwarden TarnIN " + version, cut or space-padded to 64 characters.
std::string NotifyTip(const std::string& versionText);
/// "3.00.0440" for version 3.0.440.
std::string VersionText(int major, int minor, int revision);
/// The package's version, "3.0.440" (--version, the metrics' build info).
std::string PackageVersion();
/// Leading-number conversion of a text to a 16-bit flag/number (non-numeric
/// text gives 0); false when the number does not fit 16 bits.
bool TextToInt16(const std::string& s, std::int16_t& out);
/// The installation identifier made from a day-serial number.
std::string MakeTarnID(double now);

class Daemon {
  public:
    /// `runtime`: the database session, audit spool, state folder and
    /// delivery count the daemon hands to the parts it makes.
    Daemon(const HostPlatform& platform, Installation& installation, SettingsFiles& files,
           const Settings& settings, RuntimeState& runtime);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    /// Start-up steps 1 to 20. Returns when the program runs on its timers.
    void Start(const std::string& commandLine);

    /// A close request: switches the shutdown timer on and waits (processing
    /// events) while it is on. The shutdown timer ends the process from there.
    void Close();

    const Timer* QueueTimer() const { return queueTimer_.get(); }
    const Timer* DBCheckTimer() const { return dbCheckTimer_.get(); }
    /// The delivery, made at step 10 (nullptr before).
    const Delivery* DeliveryPart() const { return delivery_.get(); }

    Shutdown shutdown;

  private:
    void CreateTimers();
    // The start-up steps of Start, in order.
    void RegisterService(const std::string& commandLine);      // 1, 2
    void ChooseSettingsStore(const std::string& commandLine);  // 3
    void TakeInstanceLock();                                   // 5
    void FindAppPath();                                        // 6 to 9
    void ReadIdentity();                                       // 10, 11
    void WaitForLangFolder();                                  // 12
    void ChooseLanguage();                                     // 13
    void ReadDeliverySettings();                               // 14, 15
    void ReadHopSecurity();                                    // 14: TLS and AUTH
    void MakeAccountFolders();                                 // 16, 17
    void ShowIcon();                                           // 18
    void StartServing();                                       // 19, 20
    void MakeDelivery();                                       // with step 10

    const HostPlatform& platform_;
    Installation& installation_;
    SettingsFiles& files_;
    const Settings& settings_;

    RuntimeState& runtime_;
    std::unique_ptr<DaemonMetrics> metrics_;  // outlives the delivery and health check using it
    std::unique_ptr<DbAudit> audit_;
    std::unique_ptr<Delivery> delivery_;
    std::unique_ptr<ProfileParts> profile_;  // destroyed before the delivery it fits
    std::unique_ptr<Timer> queueTimer_;
    std::unique_ptr<Timer> dbCheckTimer_;  // reads the database thread's state for the dispatcher
    // Declared last, so it is stopped first: it calls into the loop's parts.
    std::unique_ptr<DatabaseWorker> database_;
    bool closing_ = false;
};

/// The whole argument text of the process (arguments joined by blanks).
std::string CommandLine(int argc, char** argv);

}  // namespace bw
