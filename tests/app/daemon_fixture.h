// The faked host of tests/host/host_fixture.h with the daemon on top: each
// test starts it (the whole start-up) and may start it again as a new process.
#pragma once

#include <memory>
#include <string>

#include "app/daemon.h"
#include "app/runtime_state.h"
#include "tests/host/host_fixture.h"

namespace bw::test {

class DaemonTest : public HostTest {
  protected:
    /// A fresh process: a new daemon and installation record.
    void Restart() {
        daemon_.reset();
        NewProcess();
    }
    /// Runs the start-up in a a new daemon; true when it returned (the
    /// program runs on), false when it ended the process.
    bool Start(const std::string& commandLine = "") {
        daemon_ = std::make_unique<Daemon>(hp_, inst_, *files_, settings_, runtime_);
        try {
            daemon_->Start(commandLine);
            return true;
        } catch (const ProcessEnded&) {
            return false;
        }
    }

    RuntimeState runtime_{{}, {}, root_ + "/state", {}};
    std::unique_ptr<Daemon> daemon_;
};

}  // namespace bw::test
