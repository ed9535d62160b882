#include "app/daemon.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "app/daemon_metrics.h"
#include "app/hop_settings.h"
#include "app/runtime_state.h"
#include "db/audit_spool.h"
#include "db/database_worker.h"
#include "db/db_audit.h"
#include "db/db_session.h"
#include "delivery/delivery.h"
#include "delivery/profile.h"
#include "delivery/profile_parts.h"
#include "delivery/server_list.h"
#include "host/host_platform.h"
#include "host/ini.h"
#include "host/installation.h"
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
#include "platform/service.h"
#include "platform/state_folder.h"

#ifndef BW_VERSION_MAJOR
#define BW_VERSION_MAJOR 0
#define BW_VERSION_MINOR 0
#define BW_VERSION_REVISION 0
#endif

namespace bw {

namespace {

constexpr const char* kDescription = "Delivers passed inbound Emails to the internal mailserver";

}  // namespace

std::string PackageVersion() {
    return std::to_string(BW_VERSION_MAJOR) + "." + std::to_string(BW_VERSION_MINOR) + "." +
           std::to_string(BW_VERSION_REVISION);
}

std::string VersionText(int major, int minor, int revision) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%d.%02d.%04d", major, minor, revision);
    return buf;
}

std::string NotifyTip(const std::string& versionText) {
    std::string tip = "Brimwarden TarnIN " + versionText;
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

std::string MakeTarnID(double now) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", now);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", Crc32(text));
    return hex;
}

std::string CommandLine(int argc, char** argv) {
    std::string s;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) s += ' ';
        s += argv[i];
    }
    return s;
}

Daemon::Daemon(const HostPlatform& platform, Installation& installation, SettingsFiles& files,
               const Settings& settings, RuntimeState& runtime)
    : shutdown(platform, installation, files),
      platform_(platform),
      installation_(installation),
      files_(files),
      settings_(settings),
      runtime_(runtime) {}

Daemon::~Daemon() = default;

void Daemon::CreateTimers() {
    Loop& loop = *platform_.loop;
    // The queue timer runs from the start; it has work once the delivery exists.
    queueTimer_ = std::make_unique<Timer>(loop, 5000, true, [this] {
        if (delivery_) delivery_->dispatcher.OnQueueTimer();
    });
    // Every use of the database runs on its own thread from step 19 on; the
    // loop only reads its state.
    database_ = std::make_unique<DatabaseWorker>(runtime_.db, runtime_.spool, *platform_.clock,
                                                 *platform_.service);
    database_->SetConnectionChanged([this, &loop] {
        loop.Post([this] {
            if (delivery_) delivery_->dispatcher.DatabaseChecked();
        });
    });
    dbCheckTimer_ = std::make_unique<Timer>(loop, 1000, true, [this] {
        if (delivery_) delivery_->dispatcher.DatabaseChecked();
    });
}

// The audit (minilog rows and counts for this installation) and the delivery
// that writes through it; the delivery's settings follow at steps 14 to 17.
void Daemon::MakeDelivery() {
    RuntimeState& r = runtime_;
    DatabaseWorker& database = *database_;
    audit_ = std::make_unique<DbAudit>(r.spool, *platform_.clock, installation_.TarnID,
                                       [&database] { database.Wake(); });
    delivery_ = std::make_unique<Delivery>(
        *platform_.clock, *platform_.loop, platform_.service, *audit_, r.stateDir,
        [&database] { return database.HasConnection(); }, queueTimer_.get());
    Delivery& delivery = *delivery_;
    shutdown.CountRunningWith([&delivery] { return delivery.dispatcher.Sessions().Running(); });
    delivery_->settings.appPath = installation_.AppPath;
}

void Daemon::Start(const std::string& commandLine) {
    // The daemon's timers exist, and run, from the moment the daemon does.
    CreateTimers();
    RegisterService(commandLine);
    ChooseSettingsStore(commandLine);
    // 4: the shared object's work (the audit) is made with the installation's
    // identifier, at step 10.
    TakeInstanceLock();
    FindAppPath();
    ReadIdentity();
    MakeDelivery();  // the timers may run while step 12 waits
    WaitForLangFolder();
    ChooseLanguage();
    ReadDeliverySettings();
    MakeAccountFolders();
    metrics_ =
        StartDaemonMetrics(platform_, settings_, *delivery_, database_->Health(), runtime_.spool);
    ShowIcon();
    StartServing();
}

void Daemon::RegisterService(const std::string& commandLine) {
    // 1, 2: service registration ends the program at once.
    if (commandLine == "-install") {
        platform_.service->SetServiceSetting("", "Description", kDescription);
        platform_.process->EndNow(platform_.service->Install() ? 0 : 1);
    }
    if (commandLine == "-remove") {
        platform_.process->EndNow(platform_.service->Remove() ? 0 : 1);
    }
}

void Daemon::ChooseSettingsStore(const std::string& commandLine) {
    // 3: the per-user settings store.
    if (ChoosesUserHive(platform_.ExeFolderOrReal(), commandLine)) {
        installation_.useUserHive = true;
    }
}

void Daemon::TakeInstanceLock() {
    // 5: one instance only.
    std::string lockReason;
    const InstanceLock::Result lock = platform_.instanceLock->TryAcquire(lockReason);
    if (lock == InstanceLock::Result::kHeldByOther) platform_.process->EndNow(kExitOk);
    if (lock == InstanceLock::Result::kFailed) FatalStartupError(platform_, lockReason, kExitLock);
}

void Daemon::FindAppPath() {
    Installation& g = installation_;
    // 6, 7: version text and the executable's folder as the default AppPath.
    g.versionText = VersionText(BW_VERSION_MAJOR, BW_VERSION_MINOR, BW_VERSION_REVISION);
    // 8: the application folder registered by the first gateway component;
    // without one the executable's folder, registered from now on.
    bool registered = false;
    g.AppPath = LocateAppPath(settings_, platform_.ExeFolderOrReal(), registered);
    if (!registered) settings_.SaveSettingX(kAppName, "General", "AppPath", g.AppPath);
    runtime_.db.UseConnectStrings(ConnectStrings{platform_.ExeFolderOrReal(), g.AppPath, &files_});
    // The state folder belongs to this installation; it is locked at step 19,
    // and the sent record in it is opened with the delivery, at step 10.
    runtime_.stateDir = StateFolderFor(g.AppPath);
    if (const std::string moved = AdoptEarlierState(runtime_.stateDir, g.AppPath); !moved.empty()) {
        platform_.service->LogEvent(4, 110, moved);
    }

    // 9
    MakePath(g.AppPath + "Logs/");
}

void Daemon::ReadIdentity() {
    Installation& g = installation_;
    // 10: the installation identifier, made once and kept.
    g.TarnID = settings_.GetSettingX(kAppName, "TarnIN", "TarnID", "");
    if (g.TarnID.empty()) {
        g.TarnID = MakeTarnID(platform_.clock->Now());
        settings_.SaveSettingX(kAppName, "TarnIN", "TarnID", g.TarnID);
    }

    // 11
    g.uiLanguage = settings_.GetSettingX(kAppName, "General", "UILanguage", "English");
    g.langFile = g.uiLanguage + ".lng";
}

void Daemon::WaitForLangFolder() {
    // 12: the language folder may appear a little later (another component
    // may still be laying out the application folder).
    double waitStart = platform_.clock->Timer();
    while (!PathExists(installation_.LangFolder()) && !Elapsed(*platform_.clock, waitStart, 25)) {
        platform_.loop->Wait(1);
    }
    if (Elapsed(*platform_.clock, waitStart, 25)) {
        FatalStartupError(platform_, "AppPath Problem!!", kExitAppPath);
    }
}

void Daemon::ChooseLanguage() {
    Installation& g = installation_;
    // 13: the language, chosen when its file is missing.
    const std::string langFile = LangFilePath(g.LangFolder(), g.langFile);
    if (PathExists(langFile)) return;
    const std::string choice = platform_.desktop->ChooseLanguage(ListLanguages(g.LangFolder()));
    if (choice.empty()) {
        FatalStartupError(platform_, "No language chosen: " + langFile + " is missing",
                          kExitLanguage);
    }
    g.uiLanguage = choice;
    g.langFile = g.uiLanguage + ".lng";
    settings_.SaveSettingX(kAppName, "General", "UILanguage", g.uiLanguage);
}

void Daemon::ReadDeliverySettings() {
    DeliverySettings& d = delivery_->settings;
    // 14: delivery settings; a number that does not fit keeps the default.
    std::int16_t useTrash = -1;
    std::int16_t smtpLog = 0;
    TextToInt16(settings_.GetSettingX(kAppName, "General", "UseTrash", "-1"), useTrash);
    TextToInt16(settings_.GetSettingX(kAppName, "Server", "SMTPLog", "0"), smtpLog);
    d.useTrash = useTrash != 0;
    d.sessionLog = smtpLog == -1;
    d.traceStages = settings_.GetSettingX(kAppName, "Server", "SMTPTrace", "0") == "1";
    d.tempFailRefuses = settings_.GetSettingX(kAppName, "Server", "TempFailRefuses", "0") == "1";
    d.peer2 = settings_.GetSettingX(kAppName, "TarnIN", "Peer2", "");
    const std::string problem = ApplyProfileSettings(
        {settings_.GetSettingX(kAppName, "Server", "Profile", ""),
         settings_.GetSettingX(kAppName, "Server", "MaxSessions", ""),
         settings_.GetSettingX(kAppName, "Server", "MessagesPerConnection", "")},
        d);
    if (!problem.empty()) FatalStartupError(platform_, problem, kExitConfig);
    ReadHopSecurity();

    // 15: the internal mail servers.
    const std::string accInfo = installation_.AppPath + "TarnIN/" + "AccInfo.ini";
    d.smtpServers = SplitServerList(ReadINI(files_, accInfo, "Server", "SMTP"));
    for (const std::string& problem : ServerListProblems(d.smtpServers, d.peer2)) {
        platform_.service->LogEvent(2, 110, problem);
    }
}

// TLS and AUTH on the hop to the internal mail server; the TLS context is
// made now, so a CA file or client certificate that cannot be used stops the
// start, not the first delivery.
void Daemon::ReadHopSecurity() {
    const std::string problem =
        SetUpHopSecurity(settings_, delivery_->settings.security, delivery_->tls);
    if (!problem.empty()) FatalStartupError(platform_, problem, kExitConfig);
    delivery_->ctx.tls = delivery_->tls.get();
}

void Daemon::MakeAccountFolders() {
    // 16, 17
    if (CheckAccountStruct(installation_, files_) != -1) {
        FatalStartupError(platform_, "Unable to create Folder Structure!!", kExitFolders);
    }
    LoadForwardedList(installation_, files_);
    delivery_->settings.forwardedList = installation_.forwardedList;
    // The profile's parts: where work comes from, how sessions step, how
    // writes become durable.
    profile_ = MakeProfileParts(*delivery_);
    if (const ErrorState err = profile_->Start(); err.Failed()) {
        FatalStartupError(platform_, "Queue watch problem: " + err.description, kExitFolders);
    }
    shutdown.SetBeforeEnd([this] { profile_->EndGroup(); });
}

void Daemon::ShowIcon() {
    // 18: the notification icon.
    platform_.desktop->AddIcon(NotifyTip(installation_.versionText));
}

void Daemon::StartServing() {
    // 19: the audit spool (this is the running instance: a second one has
    // ended at step 5), then the database thread, which makes the connection
    // and writes the spool back.
    // Two daemons on one state folder would write back each other's rows.
    std::string held;
    if (!runtime_.stateLock.Take(
            runtime_.stateDir,
            "pid " + std::to_string(::getpid()) + ", application folder " + installation_.AppPath,
            held)) {
        FatalStartupError(platform_, "State folder problem: " + held, kExitStateDir);
    }
    if (ErrorState e = runtime_.spool.Open(runtime_.stateDir, *platform_.service); e.Failed()) {
        FatalStartupError(platform_, "State folder problem: " + e.description, kExitStateDir);
    }
    delivery_->backOff.Start();  // a restart tries every pair at once
    runtime_.db.DropConnection();
    database_->Start();

    // 20
    platform_.service->StartServing();
}

void Daemon::Close() {
    // Query-close: switch the shutdown timer on. A second request while we
    // already wait needs nothing more.
    shutdown.EnableTimer();
    if (closing_) return;
    closing_ = true;
    // Unload: wait while the shutdown timer is on; it ends the process itself.
    while (shutdown.TimerEnabled()) platform_.loop->Wait(0.01);
    closing_ = false;
}

}  // namespace bw
