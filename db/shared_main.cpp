#include "db/shared_main.h"

#include "host/globals.h"
#include "policy/policy_state.h"

namespace bw {

clsSharedMain::clsSharedMain() = default;
clsSharedMain::~clsSharedMain() = default;

void clsSharedMain::SetAccPath(const std::string& sAccPath) {
    sAccPath_ = sAccPath;
}
void clsSharedMain::SetAppPath(const std::string& sAppPath) {
    G().AppPath = sAppPath;
}
void clsSharedMain::SetIPLockThreshold(std::int16_t v) {
    SharedPolicySettings().IPLockThreshold = v;
}
void clsSharedMain::SetIPLockUnit(std::int16_t v) {
    SharedPolicySettings().IPLockUnit = v;
}
void clsSharedMain::SetRBLLockPoint(std::int16_t v) {
    SharedPolicySettings().RBLLockPoint = v;
}
void clsSharedMain::SetGreyDelay(std::int16_t v) {
    SharedPolicySettings().GreyDelay = v;
}
void clsSharedMain::SetGreyFrame(std::int16_t v) {
    SharedPolicySettings().GreyFrame = v;
}
void clsSharedMain::SetGreyExp(std::int16_t v) {
    SharedPolicySettings().GreyExp = v;
}
void clsSharedMain::SetGreyAutoWL(std::int16_t v) {
    SharedPolicySettings().GreyAutoWL = v;
}
void clsSharedMain::SetMBFF(std::int16_t v) {
    SharedPolicySettings().MBFF = v;
}

std::int16_t clsSharedMain::CheckOR(const std::string&, const std::string&, const std::string&) {
    return 0;
}

SharedSettings& SharedPolicySettings() {
    static SharedSettings s;
    return s;
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
