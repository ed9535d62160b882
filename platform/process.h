// Ending the process at once, without any clean-up: the fatal start-up paths
// and the end of the shutdown. The real one is _exit (tests put in one that
// throws, so that the caller's frame is left exactly where the real process
// would have stopped).
#pragma once

namespace bw {

class ProcessControl {
  public:
    virtual ~ProcessControl() = default;
    [[noreturn]] virtual void EndNow(int exitCode) = 0;
};

class RealProcess final : public ProcessControl {
  public:
    [[noreturn]] void EndNow(int exitCode) override;
};

}  // namespace bw
