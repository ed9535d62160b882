#include "delivery/dispatcher.h"

#include <unistd.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "delivery/set_aside.h"
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
    if (!g.db.conn) return;
    sScanFolder = sScanFolder != "Inbox/" ? "Inbox/" : "Outbox/";
    const std::string folder = g.AppPath + "TarnIN/" + sScanFolder;
    ErrorState err;
    const std::vector<std::string> names = ListQueueFolder(folder, err);
    if (err.Failed()) EndAtOnce("queue folder missing or unreadable: " + err.description);
    // Work is a ".dat" with its ".msg" partner, found without regard to letter
    // case ("A.DAT" goes with "a.msg" or "A.MSG"). A lone ".dat" is no work: it
    // does not hold the short interval, and after ten minutes it is set aside.
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string& name : names) {
        const std::string msgName =
            FindNameNoCase(folder, name.substr(0, name.size() - 4) + ".msg");
        if (msgName.empty()) {
            SetAsideLoneDat(folder, name);
        } else {
            pairs.emplace_back(name, msgName);
        }
    }
    if (pairs.empty()) {
        if (g.tmrQueue != nullptr) g.tmrQueue->SetInterval(kIdleIntervalMs);
        return;
    }
    // Off while the pass runs, so no second scan starts inside this one.
    if (g.tmrQueue != nullptr) {
        g.tmrQueue->SetEnabled(false);
        g.tmrQueue->SetInterval(kBusyIntervalMs);
    }
    for (const auto& [name, msgName] : pairs) {
        if (!g.db.conn || g.iActiveTransfers >= kMaxTransfers) break;
        const std::string base = name.substr(0, name.size() - 4);
        // Claiming is the exclusive lock: a pair in delivery, or still being
        // written, cannot be opened and waits for a later tick. A pair with a
        // file that must never be read (a link, a hard link, no regular file)
        // is set aside instead.
        ErrorState datClaim;
        const std::int16_t iDat = ClaimFile(folder + name, datClaim);
        if (iDat == 0 && datClaim.number != kUnsafeFile) continue;
        ErrorState msgClaim;
        const std::int16_t iMsg = ClaimFile(folder + msgName, msgClaim);
        if (iMsg == 0 && msgClaim.number != kUnsafeFile) {
            CloseFileNo(iDat);
            continue;
        }
        if (iDat == 0 || iMsg == 0) {
            const std::string& why = iDat == 0 ? datClaim.description : msgClaim.description;
            SetAsideUnsafePair(folder, base, name, msgName, why, iDat, iMsg);
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
