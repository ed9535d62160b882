// BWTarnOUT: the outbound delivery agent of the Brimwarden mail gateway.
// Wires the real platform into the globals, loads the main window (the whole
// start-up) and runs the message loop until the shutdown timer ends the process.
#include <csignal>

#include "db/audit_spool.h"
#include "host/globals.h"
#include "host/host_platform.h"
#include "host/main_window.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/instance_lock.h"
#include "platform/linux_service.h"
#include "platform/loop.h"
#include "platform/mariadb.h"
#include "platform/process.h"
#include "platform/run_paths.h"
#include "platform/settings_store.h"

int main(int argc, char** argv) {
    using namespace bw;
    std::signal(SIGPIPE, SIG_IGN);

    SystemClock clock;
    Loop loop(clock);
    LinuxService service;
    RegFileStore machineSettings(MachineRegistryPath());
    RegFileStore userSettings(UserRegistryPath());
    LinuxDesktop desktop([&service](const std::string& text) { service.LogEvent(4, 110, text); });
    FlockInstanceLock instanceLock;
    RealProcess process;
    MariaDbFactory dbFactory;

    Globals& g = G();
    g.clock = &clock;
    g.loop = &loop;
    g.service = &service;
    g.dbFactory = &dbFactory;

    HostPlatform& hp = HP();
    hp.machineSettings = &machineSettings;
    hp.userSettings = &userSettings;
    hp.desktop = &desktop;
    hp.instanceLock = &instanceLock;
    hp.process = &process;

    frmMain form;
    // Stop event: SIGTERM, SIGINT, SIGHUP close the main window.
    service.onStop = [&form] { form.Close(); };
    service.WatchSignals(loop.Io());

    form.Form_Load(CommandLine(argc, argv));
    // The running instance only (a second one has ended in Form_Load): the
    // audit spool, before the first health-check tick writes it back.
    if (ErrorState e = OpenAuditSpool(StateDir()); e.Failed()) {
        FatalStartupError("State folder problem: " + e.description, kExitStateDir);
    }
    loop.Run();
    return 0;
}
