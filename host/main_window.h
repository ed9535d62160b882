// frmMain: the program's main window. It owns the main-window timers
// (tmrQueue, tmrDBCheck, tmrBackupDB), the notification icon, the icon's menu
// and the shutdown window. Loading it is the whole start-up; closing it (menu,
// service Stop event) ends the process through the shutdown timer.
// DIAGNOSTICS: the fatal start-up paths write one event-log entry (type 4,
// id 110) and end the process at once: the error of creating oShared,
// "AppPath Problem!!", "Unable to create Folder Structure!!" and (from the
// settings wrappers) "Registry Problem: ...". A second instance, "-install",
// "-remove" and an empty language choice end without an entry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/shutdown.h"

namespace bw {

class Timer;

/// The notification icon's record (the platform's notify-icon data with a
/// 64-character tip).
struct NotifyIconData {
    std::uint32_t cbSize = 88;
    std::uint32_t uID = 1;
    std::uint32_t uFlags = 7;              // message, icon and tip are valid
    std::uint32_t uCallbackMessage = 512;  // mouse move
    std::string szTip;                     // always 64 characters
};

/// "Brimwarden TarnIN " + version, cut or space-padded to 64 characters.
std::string NotifyTip(const std::string& sVersionText);
/// "3.00.0440" for version 3.0.440.
std::string VersionText(int major, int minor, int revision);
/// Leading-number conversion of a text to a 16-bit flag/number (non-numeric
/// text gives 0); false when the number does not fit 16 bits.
bool TextToInt16(const std::string& s, std::int16_t& out);
/// The installation identifier made from a day-serial number.
std::string MakeTarnID(double dNow);
/// The message shown when opening a document failed with `result` (< 33).
std::string OpenErrorText(int result);

class frmMain {
  public:
    frmMain();
    ~frmMain();
    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;

    /// Start-up steps 1 to 20. Returns when the program runs on its timers.
    void Form_Load(const std::string& sCommandLine);

    /// A close request: switches the shutdown timer on and waits (processing
    /// events) while it is on. The shutdown timer ends the process from there.
    void Close();

    /// A message of the notification icon (515 double click, 517 right click).
    void OnIconMessage(int iMessage);

    enum class Menu {
        mnuOptionsBWMgr,
        mnuOptionsAccSetup,
        mnuDummy1,
        mnuWebsite,
        mnuDummy2,
        mnuPlaySound,
        mnuShowTicker,
        mnuDummy3,
        mnuOptionsExit
    };
    void MenuClick(Menu eEntry);
    bool Checked(Menu eEntry) const;

    NotifyIconData tNotifyIcon;
    frmShutDown shutdown;
    static constexpr const char* kWebsite = "https://www.brimwarden.com/";

  private:
    void CreateTimers();
    void StartManager();

    struct DeliveryParts;  // the delivery's settings, context and dispatcher
    std::unique_ptr<DeliveryParts> delivery_;
    std::unique_ptr<Timer> tmrQueue_;
    std::unique_ptr<Timer> tmrDBCheck_;
    std::unique_ptr<Timer> tmrBackupDB_;
    bool bPlaySound_ = false;
    bool bShowTicker_ = false;
    bool bClosing_ = false;
};

/// The whole argument text of the process (arguments joined by blanks).
std::string CommandLine(int argc, char** argv);

}  // namespace bw
