#include "db/shared_main.h"

#include "policy/policy_state.h"

namespace bw {

clsSharedMain::clsSharedMain() = default;
clsSharedMain::~clsSharedMain() = default;

void clsSharedMain::SetAccPath(const std::string& sAccPath) {
    sAccPath_ = sAccPath;
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

}  // namespace bw
