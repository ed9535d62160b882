#include "host/main_window.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "db/health_check.h"
#include "db/shared_main.h"
#include "delivery/delivery.h"
#include "delivery/server_list.h"
#include "host/globals.h"
#include "host/host_platform.h"
#include "host/ini.h"
#include "host/lang.h"
#include "host/paths.h"
#include "host/settings.h"
#include "host/textfile.h"
#include "host/timing.h"
#include "platform/checksum.h"
#include "platform/clock.h"
#include "platform/db.h"
#include "platform/desktop.h"
#include "platform/instance_lock.h"
#include "platform/loop.h"
#include "platform/process.h"
#include "platform/run_paths.h"
#include "platform/service.h"

#ifndef BW_VERSION_MAJOR
#define BW_VERSION_MAJOR 0
#define BW_VERSION_MINOR 0
#define BW_VERSION_REVISION 0
#endif

namespace bw {

namespace {

constexpr const char* kDescription = "Delivers passed inbound Emails to the internal mailserver";

std::string ExeFolderOf() {
    return HP().exeFolder.empty() ? ExeFolder() : HP().exeFolder;
}

std::vector<std::string> SplitAt(const std::string& s, char sep) {
    std::vector<std::string> out;
    if (s.empty()) return out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t next = s.find(sep, pos);
        out.push_back(s.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
        if (next == std::string::npos) break;
        pos = next + 1;
    }
    return out;
}

}  // namespace

std::string VersionText(int major, int minor, int revision) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%d.%02d.%04d", major, minor, revision);
    return buf;
}

std::string NotifyTip(const std::string& sVersionText) {
    std::string tip = "Brimwarden TarnIN " + sVersionText;
    tip.resize(64, ' ');
    return tip;
}

bool TextToInt16(const std::string& s, std::int16_t& out) {
    // The leading number of the text; blanks before it are skipped and
    // anything that is not a number gives 0.
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    std::size_t end = i;
    if (end < s.size() && (s[end] == '+' || s[end] == '-')) ++end;
    while (end < s.size() && (std::isdigit(static_cast<unsigned char>(s[end])) || s[end] == '.')) {
        ++end;
    }
    double v = 0;
    if (end > i) {
        const std::string num = s.substr(i, end - i);
        char* stop = nullptr;
        v = std::strtod(num.c_str(), &stop);
    }
    const double r = std::nearbyint(v);  // half to even, as the integer conversion rounds
    if (r < -32768.0 || r > 32767.0) return false;
    out = static_cast<std::int16_t>(r);
    return true;
}

std::string MakeTarnID(double dNow) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", dNow);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", Crc32(text));
    return hex;
}

std::string OpenErrorText(int result) {
    switch (result) {
        case 2:
            return "File not found";
        case 3:
            return "Path not found";
        case 5:
            return "Access denied";
        case 8:
            return "Out of memory";
        case 11:
            return "Invalid EXE file or error in EXE image";
        case 26:
            return "A sharing violation occurred";
        case 27:
            return "Incomplete or invalid file association";
        case 28:
            return "DDE Time out";
        case 29:
            return "DDE transaction failed";
        case 30:
            return "DDE busy";
        case 31:
            return "No association for file extension";
        case 32:
            return "DLL not found";
        default:
            return "Unknown error";
    }
}

std::string CommandLine(int argc, char** argv) {
    std::string s;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) s += ' ';
        s += argv[i];
    }
    return s;
}

// The delivery's parts, made once with the window; the settings are filled
// from the start-up's values once they are read.
struct frmMain::DeliveryParts {
    explicit DeliveryParts(Timer* queueTimer)
        : delivery(
              *G().clock, *G().loop, G().service, audit, StateDir() + "/sent-pairs",
              G().iActiveTransfers, [] { return static_cast<bool>(G().db.conn); }, queueTimer) {}
    SharedMainAudit audit;
    Delivery delivery;
};

frmMain::frmMain() = default;

frmMain::~frmMain() {
    Globals& g = G();
    if (g.tmrQueue == tmrQueue_.get()) g.tmrQueue = nullptr;
    if (g.tmrDBCheck == tmrDBCheck_.get()) g.tmrDBCheck = nullptr;
    if (g.tmrBackupDB == tmrBackupDB_.get()) g.tmrBackupDB = nullptr;
}

void frmMain::CreateTimers() {
    Loop& loop = *G().loop;
    tmrQueue_ = std::make_unique<Timer>(
        loop, 5000, true, [this] { delivery_->delivery.dispatcher.tmrQueue_Timer(); });
    delivery_ = std::make_unique<DeliveryParts>(tmrQueue_.get());
    tmrDBCheck_ = std::make_unique<Timer>(loop, 1000, true, [] { tmrDBCheck_Timer(); });
    tmrBackupDB_ = std::make_unique<Timer>(loop, 5000, false, [] { tmrBackupDB_Timer(); });
    G().tmrQueue = tmrQueue_.get();
    G().tmrDBCheck = tmrDBCheck_.get();
    G().tmrBackupDB = tmrBackupDB_.get();
}

void frmMain::Form_Load(const std::string& sCommandLine) {
    Globals& g = G();
    HostPlatform& hp = HP();
    // The window's timers exist, and run, from the moment the window does.
    CreateTimers();

    // 1, 2: service registration ends the program at once.
    if (sCommandLine == "-install") {
        g.service->SetServiceSetting("", "Description", kDescription);
        hp.process->EndNow(g.service->Install() ? 0 : 1);
    }
    if (sCommandLine == "-remove") {
        hp.process->EndNow(g.service->Remove() ? 0 : 1);
    }

    // 3: the per-user settings store.
    if (PathExists(ExeFolderOf() + "/HKCU.flg") ||
        UpperAscii(sCommandLine).find("--HKCU") != std::string::npos) {
        g.bUseUserHive = true;
    }

    // 4: the shared object.
    try {
        g.oShared = std::make_unique<clsSharedMain>();
    } catch (const std::exception& e) {
        FatalStartupError(e.what());
    }

    // 5: one instance only.
    std::string lockReason;
    const InstanceLock::Result lock = hp.instanceLock->TryAcquire(lockReason);
    if (lock == InstanceLock::Result::kHeldByOther) hp.process->EndNow(kExitOk);
    if (lock == InstanceLock::Result::kFailed) FatalStartupError(lockReason, kExitLock);

    // 6, 7: version text and the executable's folder as the default AppPath.
    g.sVersionText = VersionText(BW_VERSION_MAJOR, BW_VERSION_MINOR, BW_VERSION_REVISION);
    g.AppPath = ExeFolderOf();
    if (g.AppPath.empty() || g.AppPath.back() != '/') g.AppPath += '/';

    // 8: the application folder registered by the first gateway component.
    const std::string sStored = GetSettingX(kAppName, "General", "AppPath", "*");
    if (sStored == "*") {
        SaveSettingX(kAppName, "General", "AppPath", g.AppPath);
    } else {
        g.AppPath = sStored;
    }
    if (g.AppPath.empty() || g.AppPath.back() != '/') g.AppPath += '/';

    // 9
    MakePath(g.AppPath + "Logs/");

    // 10: the installation identifier, made once and kept.
    g.TarnID = GetSettingX(kAppName, "TarnIN", "TarnID", "");
    if (g.TarnID.empty()) {
        g.TarnID = MakeTarnID(g.clock->Now());
        SaveSettingX(kAppName, "TarnIN", "TarnID", g.TarnID);
    }

    // 11
    g.sUILanguage = GetSettingX(kAppName, "General", "UILanguage", "English");
    g.sLangFile = g.sUILanguage + ".lng";

    // 12: the language folder may appear a little later (another component
    // may still be laying out the application folder).
    double dStart = g.clock->Timer();
    while (!PathExists(g.AppPath + "lang/") && !Elapsed(dStart, 25)) {
        g.loop->Wait(1);
    }
    if (Elapsed(dStart, 25)) FatalStartupError("AppPath Problem!!", kExitAppPath);

    // 13: the language, chosen when its file is missing.
    if (!PathExists(LangFilePath())) {
        const std::string sChoice = hp.desktop->ChooseLanguage(ListLanguages());
        if (sChoice.empty()) {
            FatalStartupError("No language chosen: " + LangFilePath() + " is missing",
                              kExitLanguage);
        }
        g.sUILanguage = sChoice;
        g.sLangFile = g.sUILanguage + ".lng";
        SaveSettingX(kAppName, "General", "UILanguage", g.sUILanguage);
    }

    // 14: delivery settings; a number that does not fit keeps the default.
    TextToInt16(GetSettingX(kAppName, "General", "UseTrash", "-1"), g.iUseTrash);
    TextToInt16(GetSettingX(kAppName, "Server", "SMTPLog", "0"), g.iSMTPLog);
    g.bTempFailRefuses = GetSettingX(kAppName, "Server", "TempFailRefuses", "0") == "1";
    g.sPeer2 = GetSettingX(kAppName, "TarnIN", "Peer2", "");

    // 15: the internal mail servers.
    g.aSMTPServers = SplitAt(ReadINI(g.AppPath + "TarnIN/" + "AccInfo.ini", "Server", "SMTP"), ',');
    for (const std::string& problem : ServerListProblems(g.aSMTPServers, g.sPeer2)) {
        g.service->LogEvent(2, 110, problem);
    }

    // 16, 17
    if (CheckAccountStruct() != -1) {
        FatalStartupError("Unable to create Folder Structure!!", kExitFolders);
    }
    LoadForwardedList();
    DeliverySettings& ds = delivery_->delivery.settings;
    ds.appPath = g.AppPath;
    ds.useTrash = g.iUseTrash != 0;
    ds.sessionLog = g.iSMTPLog == -1;
    ds.traceStages = GetSettingX(kAppName, "Server", "SMTPTrace", "0") == "1";
    ds.tempFailRefuses = g.bTempFailRefuses;
    ds.peer2 = g.sPeer2;
    ds.smtpServers = g.aSMTPServers;
    ds.forwardedList = g.sForwardedList;

    // 18: the notification icon.
    tNotifyIcon = NotifyIconData{};
    tNotifyIcon.szTip = NotifyTip(g.sVersionText);
    hp.desktop->AddIcon(tNotifyIcon.szTip);

    // 19: the database check timer makes the connection.
    g.db.conn.reset();

    // 20
    g.service->StartServing();
}

void frmMain::Close() {
    // Query-close: switch the shutdown timer on. A second request while we
    // already wait needs nothing more.
    shutdown.EnableTimer();
    if (bClosing_) return;
    bClosing_ = true;
    // Unload: wait while the shutdown timer is on; it ends the process itself.
    while (shutdown.TimerEnabled()) G().loop->Wait(0.01);
    bClosing_ = false;
}

void frmMain::OnIconMessage(int iMessage) {
    if (iMessage == 515) {
        StartManager();
    } else if (iMessage == 517) {
        // Only the manager and "Terminate TarnOUT Server" are shown.
        const int choice =
            HP().desktop->PopupMenu({"Brimwarden Manager...", "Terminate TarnOUT Server"});
        if (choice == 0) MenuClick(Menu::mnuOptionsBWMgr);
        if (choice == 1) MenuClick(Menu::mnuOptionsExit);
    }
}

void frmMain::StartManager() {
    std::string path = ExeFolderOf() + "/BWManager.exe";
    if (!PathExists(path)) path = ExeFolderOf() + "/BWManager";
    HP().desktop->StartProgram(path);  // failures are ignored
}

void frmMain::MenuClick(Menu eEntry) {
    switch (eEntry) {
        case Menu::mnuOptionsBWMgr:
            StartManager();
            break;
        case Menu::mnuWebsite: {
            const int result = HP().desktop->OpenDocument(kWebsite);
            if (result < 33) HP().desktop->ShowMessage(OpenErrorText(result), "Brimwarden");
            break;
        }
        case Menu::mnuPlaySound:
            bPlaySound_ = !bPlaySound_;
            SaveSettingX(kAppName, "General", "PlayNotifySound", bPlaySound_ ? "-1" : "0");
            break;
        case Menu::mnuShowTicker:
            bShowTicker_ = !bShowTicker_;
            SaveSettingX(kAppName, "General", "ShowMsgTicker", bShowTicker_ ? "-1" : "0");
            break;
        case Menu::mnuOptionsExit:
            Close();
            break;
        default:
            break;
    }
}

bool frmMain::Checked(Menu eEntry) const {
    if (eEntry == Menu::mnuPlaySound) return bPlaySound_;
    if (eEntry == Menu::mnuShowTicker) return bShowTicker_;
    return false;
}

}  // namespace bw
