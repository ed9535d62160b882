#include "delivery/set_aside.h"

#include <cerrno>
#include <set>

#include "db/audit.h"
#include "delivery/session_log.h"
#include "host/paths.h"
#include "platform/clock.h"
#include "platform/log_text.h"
#include "platform/queue_files.h"
#include "platform/service.h"

namespace bw {

namespace {

// Moves `name` of `queue` into queue + "BAD/" under the same name. A name
// already in BAD is taken as filed there: the queue's name is removed, as for
// any refused pair.
bool FileAsBad(const std::string& queue, const std::string& name, ErrorState& err) {
    MakePath(queue + "BAD");
    const std::string bad = queue + "BAD/";
    if (NameInRealFolder(bad, name)) return DeleteFileSafe(queue + name, err);
    ErrorState move;
    if (MoveFileSafe(queue + name, bad + name, true, move)) return true;
    if (move.number == EEXIST) return DeleteFileSafe(queue + name, err);
    err.Raise(move.number, move.description);
    return false;
}

}  // namespace

void SetAside::Journal(const std::string& text) {
    if (ctx_.journal != nullptr) ctx_.journal->LogEvent(2, 110, EscapeControls(text));
}

bool SetAside::FirstReport(const std::string& key, bool moved) {
    const bool first = reported_.insert(key).second;
    if (moved) reported_.erase(key);
    return first;
}

void SetAside::UnsafePair(const std::string& queue, const std::string& base,
                          const std::string& datName, const std::string& msgName,
                          const std::string& why, std::int16_t datFile, std::int16_t msgFile) {
    // The ".msg" first, the ".dat" last, as in every filing: a cut leaves a
    // lone ".dat", which is set aside later.
    ErrorState err;
    const bool moved = FileAsBad(queue, msgName, err) && FileAsBad(queue, datName, err);
    ctx_.files.CloseFileNo(msgFile);
    ctx_.files.CloseFileNo(datFile);
    if (!FirstReport(queue + base, moved)) return;

    SessionLog& log = ctx_.log;
    log.InitLogSession(ctx_.settings.AccPath());
    log.LogLine(kLogError, "ERROR: " + why + (moved ? "; not sent, filed as bad" : "; not sent"));
    if (!moved) log.LogLine(kLogError, "ERROR: filing " + base + ": " + err.description);
    Journal("Queue pair " + queue + base + " not sent: " + why +
            (moved ? "; filed as bad" : "; filing failed: " + err.description));

    const ErrorState row =
        ctx_.audit.AddMinLog({"BWTarnOut", ctx_.clock.Now(), "***", "***",
                              "590 Peer Delivery ERROR " + base + " (" + why + ")"});
    if (row.Failed()) {
        log.LogLine(kLogDatabase,
                    "MINILOG ERROR: " + std::to_string(row.number) + " " + row.description);
    }
}

void SetAside::LoneDat(const std::string& queue, const std::string& datName) {
    if (SecondsSinceChange(queue + datName) < kLoneDatSeconds) return;
    // Claimed first, so a ".dat" someone still holds is left alone.
    ErrorState claim;
    const std::int16_t datFile = ctx_.files.ClaimFile(queue + datName, claim);
    if (datFile == 0 && claim.number != kUnsafeFile) return;
    ErrorState err;
    const bool moved = FileAsBad(queue, datName, err);
    ctx_.files.CloseFileNo(datFile);
    if (!FirstReport(queue + datName, moved)) return;
    const std::string why = datName + " has had no .msg partner for " +
                            std::to_string(kLoneDatSeconds / 60) + " minutes";
    ctx_.log.LogLine(
        kLogError,
        "ERROR: " + why + (moved ? "; filed as bad" : "; filing failed: " + err.description));
    Journal("Queue file " + queue + datName + " set aside: " + why +
            (moved ? "; filed as bad" : "; filing failed: " + err.description));
}

}  // namespace bw
