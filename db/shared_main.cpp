#include "db/shared_main.h"

#include "host/globals.h"

namespace bw {

clsSharedMain::clsSharedMain() = default;
clsSharedMain::~clsSharedMain() = default;

void clsSharedMain::SetAccPath(const std::string& sAccPath) {
    sAccPath_ = sAccPath;
}
void clsSharedMain::SetAppPath(const std::string& sAppPath) {
    G().AppPath = sAppPath;
}
ErrorState SharedMainAudit::AddMinLog(const tMinLog& record) {
    Globals& g = G();
    if (!g.oShared) {
        ErrorState err;
        err.Raise(91, "Object variable or With block variable not set");
        return err;
    }
    return g.oShared->AddMinLog(record.sIP, record.dTimestamp, record.sFrom, record.sTo,
                                record.sAction);
}

void SharedMainAudit::IncStats(const std::string& sField, std::int32_t lAmount) {
    Globals& g = G();
    if (g.oShared) g.oShared->IncStats(g.TarnID, sField, lAmount, 0);
}

}  // namespace bw
