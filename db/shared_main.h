// clsSharedMain: the gateway's shared class (minilog, statistics, policy store).
#pragma once

namespace bw {

class clsSharedMain {
  public:
    clsSharedMain() = default;
};

}  // namespace bw
