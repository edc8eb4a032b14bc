#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/module/HostProcess.h"
#include "tests/support/Ports.h"
#include "tests/support/TempDir.h"

namespace TestSupport {

// A host on a port of the test's own, exporting `export` of the test's
// folder as /share with a store of ids in its `state`, restarted on the same
// command line as a service manager would. Free of any client's headers, so
// that the raw RPC client and libnfs can each use it.
class RestartingHost {
 public:
  explicit RestartingHost(const TempDir& temp, std::vector<std::string> extra = {})
      : port_(FreeLoopbackPort()) {
    arguments_ = {"--local-path", (temp.Path() / "export").string(), "--share-name", "/share", "--control-socket",
                  (temp.Path() / "control.sock").string(), "--state-dir", (temp.Path() / "state").string(),
                  "--port", std::to_string(port_)};
    arguments_.insert(arguments_.end(), extra.begin(), extra.end());
  }

  uint16_t Port() const { return port_; }
  HostProcess& Process() { return *process_; }

  void Start() {
    process_ = std::make_unique<HostProcess>(arguments_);
    ASSERT_TRUE(process_->WaitForOutput("Serving", 20000)) << process_->ErrorOutput();
  }

  // SIGTERM or SIGKILL; then, after `whileDown`, the same command line again.
  void Restart(int signal, const std::function<void()>& whileDown = {}) {
    process_->Signal(signal);
    ASSERT_NE(process_->WaitForExit(20000), -1);
    process_.reset();
    if (whileDown) whileDown();
    Start();
  }

 private:
  uint16_t port_;
  std::vector<std::string> arguments_;
  std::unique_ptr<HostProcess> process_;
};

}  // namespace TestSupport
