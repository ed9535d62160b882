#include "delivery/dispatcher.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "delivery/back_off.h"
#include "delivery/cadence_scan.h"
#include "delivery/delivery_meter.h"
#include "delivery/delivery_session.h"
#include "delivery/server_concurrency.h"
#include "delivery/work_source.h"
#include "platform/loop.h"
#include "platform/queue_files.h"

namespace bw {

[[noreturn]] void EndDeliveryAtOnce(const std::string& why) {
    std::fprintf(stderr, "BWTarnOUT: %s\n", why.c_str());
    std::fflush(stderr);
    ::_exit(1);
}

namespace {
constexpr int kCreateAttempts = 100;
}  // namespace

Dispatcher::Dispatcher(DeliveryContext& ctx, std::function<bool()> databaseOpen, Timer* queueTimer)
    : ctx_(ctx),
      databaseOpen_(std::move(databaseOpen)),
      queueTimer_(queueTimer),
      sessions_(ctx),
      setAside_(ctx),
      source_(std::make_unique<CadenceScan>(ctx, *this)) {
    sessions_.SetFreedHandler([this](SessionResult result) { source_->SessionEnded(result); });
}

Dispatcher::~Dispatcher() = default;

bool Dispatcher::HasRoom() const {
    return databaseOpen_() &&
           sessions_.Running() < ctx_.concurrency->Limit(ctx_.settings.maxSessions);
}

void Dispatcher::UseWorkSource(std::unique_ptr<WorkSource> source) {
    source_ = std::move(source);
}

ErrorState Dispatcher::StartWork() {
    return source_->Start();
}

void Dispatcher::DatabaseChecked() {
    const bool open = databaseOpen_();
    if (open && !databaseWasOpen_) source_->DatabaseCameBack();
    databaseWasOpen_ = open;
}

void Dispatcher::OnQueueTimer() {
    source_->OnQueueTimer();
}

std::vector<std::pair<std::string, std::string>> Dispatcher::ListPairs(const std::string& sub,
                                                                       ErrorState& err) {
    const std::string folder = ctx_.settings.AccPath() + sub;
    ctx_.backOff.TakeFlushRequest();  // bwtarnout --flush: every pair is due again
    const std::vector<std::string> names = ListQueueFolder(folder, err);
    // Work is a ".dat" with its ".msg" partner, found without regard to letter
    // case ("A.DAT" goes with "a.msg" or "A.MSG"). A lone ".dat" is no work: it
    // does not hold the short interval, and after ten minutes it is set aside.
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string& name : names) {
        const std::string msgName =
            FindNameNoCase(folder, name.substr(0, name.size() - 4) + ".msg");
        if (msgName.empty()) {
            setAside_.LoneDat(folder, name);
        } else {
            pairs.emplace_back(name, msgName);
        }
    }
    return pairs;
}

// Claiming is the exclusive lock: a pair in delivery, or still being written,
// cannot be opened and waits for a later tick. A pair with a file that must
// never be read (a link, a hard link, no regular file) is set aside instead.
bool Dispatcher::Claim(const std::string& sub, const std::string& name,
                       const std::string& msgName) {
    const std::string folder = ctx_.settings.AccPath() + sub;
    const std::string base = name.substr(0, name.size() - 4);
    ErrorState datClaim;
    const std::int16_t datFile = ctx_.files.ClaimFile(folder + name, datClaim);
    if (datFile == 0 && datClaim.number != kUnsafeFile) return false;
    ErrorState msgClaim;
    const std::int16_t msgFile = ctx_.files.ClaimFile(folder + msgName, msgClaim);
    if (msgFile == 0 && msgClaim.number != kUnsafeFile) {
        ctx_.files.CloseFileNo(datFile);
        return false;
    }
    if (datFile == 0 || msgFile == 0) {
        const std::string& why = datFile == 0 ? datClaim.description : msgClaim.description;
        setAside_.UnsafePair(folder, base, name, msgName, why, datFile, msgFile);
        return false;
    }
    QueuePair pair(ctx_.files, ctx_.settings.AccPath(), sub, base, datFile, msgFile);
    // A connection kept open after a delivery takes the pair first.
    if (DeliverySession* idle = sessions_.TakeIdle()) {
        idle->TakePair(std::move(pair));
        return true;
    }
    DeliverySession* session = nullptr;
    for (int attempt = 0; attempt < kCreateAttempts && session == nullptr; ++attempt) {
        session = sessions_.Create(pair);
    }
    if (session == nullptr) {
        pair.Release();
        EndDeliveryAtOnce("cannot create a delivery session");
    }
    // Loading raises the active transfers at once, so the limit counts this pass too.
    session->StartSession();
    return true;
}

}  // namespace bw
