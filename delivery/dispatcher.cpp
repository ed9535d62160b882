#include "delivery/dispatcher.h"

#include <unistd.h>

#include <cstdio>

#include "delivery/smtp_client.h"
#include "host/globals.h"
#include "platform/error_state.h"
#include "platform/loop.h"
#include "platform/queue_files.h"

namespace bw {

namespace {

constexpr int kMaxTransfers = 5;
constexpr int kIdleIntervalMs = 5000;
constexpr int kBusyIntervalMs = 500;
constexpr int kCreateAttempts = 100;

// The queue sub-folder listed on the current tick: "Inbox/" or "Outbox/".
std::string sScanFolder;

// Ends the process without running any handler; open queue files stay where they are.
[[noreturn]] void EndAtOnce(const std::string& why) {
    std::fprintf(stderr, "BWTarnOUT: %s\n", why.c_str());
    std::fflush(stderr);
    ::_exit(1);
}

}  // namespace

void tmrQueue_Timer() {
    auto& g = G();
    if (!g.oDBConn) return;
    sScanFolder = sScanFolder != "Inbox/" ? "Inbox/" : "Outbox/";
    const std::string folder = g.AppPath + "TarnIN/" + sScanFolder;
    ErrorState err;
    const std::vector<std::string> names = ListQueueFolder(folder, err);
    if (err.Failed()) EndAtOnce("queue folder missing or unreadable: " + err.description);
    if (names.empty()) {
        if (g.tmrQueue != nullptr) g.tmrQueue->SetInterval(kIdleIntervalMs);
        return;
    }
    // Off while the pass runs, so no second scan starts inside this one.
    if (g.tmrQueue != nullptr) {
        g.tmrQueue->SetEnabled(false);
        g.tmrQueue->SetInterval(kBusyIntervalMs);
    }
    for (const std::string& name : names) {
        if (!g.oDBConn || g.iActiveTransfers >= kMaxTransfers) break;
        const std::string base = name.substr(0, name.size() - 4);
        // Claiming is the exclusive lock: a pair in delivery, or still being
        // written, cannot be opened and waits for a later tick.
        // The ".dat" is opened under the name listed, its ".msg" partner found
        // without regard to letter case ("A.DAT" goes with "a.msg" or "A.MSG").
        ErrorState claim;
        const std::int16_t iDat = ClaimFile(folder + name, claim);
        if (iDat == 0) continue;
        const std::string msgName = FindNameNoCase(folder, base + ".msg");
        const std::int16_t iMsg = msgName.empty() ? 0 : ClaimFile(folder + msgName, claim);
        if (iMsg == 0) {
            CloseFileNo(iDat);
            continue;
        }
        frmSMTPClient* window = nullptr;
        for (int attempt = 0; attempt < kCreateAttempts && window == nullptr; ++attempt) {
            window = CreateDeliveryWindow();
        }
        if (window == nullptr) {
            CloseFileNo(iDat);
            CloseFileNo(iMsg);
            EndAtOnce("cannot create a delivery window");
        }
        window->sAccPath = g.AppPath + "TarnIN/";
        window->iDatFile = iDat;
        window->iMsgFile = iMsg;
        window->sQueueFolder = sScanFolder;
        window->sQueueName = base;
        // Loading raises iActiveTransfers at once, so the limit counts this pass too.
        window->StartWindow();
    }
    if (g.tmrQueue != nullptr) g.tmrQueue->SetEnabled(true);
}

void ResetDispatcher() {
    sScanFolder.clear();
}

}  // namespace bw
