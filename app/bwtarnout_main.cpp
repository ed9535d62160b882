// BWTarnOUT: the outbound delivery agent of the Brimwarden mail gateway.
// Wires the real platform, builds the installation record, the settings files
// and the settings wrappers once, starts the daemon (the whole start-up)
// and runs the message loop until the shutdown timer ends the process.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

#include "app/daemon.h"
#include "app/init_command.h"
#include "app/queue_command.h"
#include "app/runtime_state.h"
#include "db/audit_spool.h"
#include "host/host_platform.h"
#include "host/installation.h"
#include "host/settings.h"
#include "host/textfile.h"
#include "platform/ascii_text.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/instance_lock.h"
#include "platform/linux_service.h"
#include "platform/loop.h"
#include "platform/mariadb.h"
#include "platform/process.h"
#include "platform/settings_store.h"

namespace {

const char* const kHelp =
    "usage: bwtarnout [--HKCU]      run the delivery daemon (normally started by systemd)\n"
    "       bwtarnout -install      write the service unit BWTarnOUT.service and reload systemd\n"
    "       bwtarnout -remove       delete the service unit\n"
    "       bwtarnout --queue [--json]  list what waits (--json: JSON lines)\n"
    "       bwtarnout --flush           try every queued pair at the daemon's next pass\n"
    "       bwtarnout --requeue NAME    move a pair of a BAD folder back into its queue\n"
    "       bwtarnout --delete NAME     delete a pair\n"
    "       bwtarnout --hold NAME       put a queued pair aside (its queue's Hold folder)\n"
    "       bwtarnout --release NAME    move a held pair back into its queue\n"
    "       bwtarnout --init            lay out a new installation, say what is missing\n"
    "       bwtarnout --help | --version\n"
    "\n"
    "  --HKCU      use the per-user settings store ($XDG_CONFIG_HOME/brimwarden/registry.reg)\n"
    "              instead of /etc/brimwarden/registry.reg (or $BW_REGISTRY);\n"
    "              also beside each queue command\n"
    "  NAME        a pair as --queue shows it (Inbox/BAD/q1), or its name alone (q1)\n"
    "The queue commands may run beside the daemon; a pair being sent is left alone.\n"
    "\n"
    "Exit statuses: 0 ok, 1 failure, 2 usage, 3 settings store, 4 application folder,\n"
    "5 no language, 6 account folders, 7 single-instance lock, 8 state folder,\n"
    "9 a setting not allowed, 75 the pair is being sent. See bwtarnout(8).\n";

// The status to end with before any start-up step (help, version, --init,
// the queue commands, an unknown option: nothing is locked), or -1 to start.
int AnswerWithoutStarting(int argc, char** argv) {
    using namespace bw;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kHelp;
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        // The package's version; the product's own form (3.00.0440) is shown
        // only where it always was, the notification tip.
        std::cout << "bwtarnout " << PackageVersion() << "\n";
        return 0;
    }
    if (const int status = ParseInitCommand(argc, argv, std::cerr); status > 0) {
        return status;
    } else if (status == 0) {
        return RunInitCommand(CommandLine(argc, argv), std::cout);
    }
    QueueRequest queue;
    if (const int status = ParseQueueCommand(argc, argv, queue, std::cerr); status > 0) {
        return status;
    } else if (status == 0) {
        return RunQueueCommand(queue, CommandLine(argc, argv), std::cout, std::cerr);
    }
    // Only the commands above and below; anything else would start the daemon
    // for someone who asked for something else. The error names the option.
    const std::string known[] = {"-install", "-remove", "--HKCU", "--queue",
                                 "--json",   "--help",  "-h",     "--version"};
    bool daemon = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string key = UpperAscii(arg) == "--HKCU" ? "--HKCU" : arg;
        if (std::find(std::begin(known), std::end(known), key) == std::end(known)) {
            std::cerr << "bwtarnout: unknown option '" << arg << "'; see 'bwtarnout --help'\n";
            return kExitUsage;
        }
        daemon = daemon && (key == "-install" || key == "-remove" || key == "--HKCU");
    }
    if (!daemon) {
        std::cerr << "bwtarnout: these options do not go together:";
        for (int i = 1; i < argc; ++i) std::cerr << " " << argv[i];
        std::cerr << "; see 'bwtarnout --help'\n";
        return kExitUsage;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace bw;
    if (const int status = AnswerWithoutStarting(argc, argv); status >= 0) return status;
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

    const HostPlatform hp{.clock = &clock,
                          .loop = &loop,
                          .service = &service,
                          .machineSettings = &machineSettings,
                          .userSettings = &userSettings,
                          .desktop = &desktop,
                          .instanceLock = &instanceLock,
                          .process = &process,
                          .exeFolder = {}};  // the real one

    Installation installation;
    SettingsFiles files(installation.AppPath, installation.AccPath,
                        [&service](const std::string& text) { service.LogEvent(2, 110, text); });
    const Settings settings(hp, installation);
    RuntimeState runtime;
    runtime.db.UseFactory(dbFactory);
    Daemon form(hp, installation, files, settings, runtime);
    // Stop event: SIGTERM, SIGINT, SIGHUP close the daemon.
    service.onStop = [&form] { form.Close(); };
    service.WatchSignals(loop.Io());

    form.Start(CommandLine(argc, argv));
    loop.Run();
    return 0;
}
