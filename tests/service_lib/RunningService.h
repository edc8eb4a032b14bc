#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "server_lib/server/Server.h"
#include "service_lib/ServerControl.h"
#include "service_lib/nsl/Service.h"
#include "tests/support/MemoryPlugin.h"
#include "tests/support/TempDir.h"

namespace TestSupport {

// The network service started on loopback for a server exporting a
// temporary folder as "/share" (or the name a test gives). Needs a running portmapper.
class RunningServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(temp_.Path() / "export");
    plugin_ = std::make_shared<MemoryPlugin>();
    server_ = NFS::CreateServer(plugin_);
    service_ = NFS::CreateService(server_);
    const Common::Error root = service_->SetRoot(Common::FromUtf8(ExportPath()), ShareName());
    ASSERT_TRUE(root.IsSuccess()) << root.Describe();
    ASSERT_TRUE(service_->SetNetworkOptions(NetworkOptions()).IsSuccess());
    const Common::Error started = service_->Start();
    ASSERT_TRUE(started.IsSuccess()) << started.Describe();
    port_ = NFS::NSL::GetListeningPort();
    ASSERT_NE(port_, 0);
  }

  void TearDown() override { service_->Stop(); }

  virtual std::u16string ShareName() const { return u"/share"; }
  // Where to listen and who may call: by default as the host does without flags.
  virtual NFS::NSL::NetworkOptions NetworkOptions() const { return {}; }

  std::string ExportPath() const { return (temp_.Path() / "export").string(); }
  std::string Local(const std::string& relative) const { return ExportPath() + "/" + relative; }

  TempDir temp_;
  std::shared_ptr<MemoryPlugin> plugin_;
  std::shared_ptr<NFS::Server> server_;
  std::unique_ptr<NFS::Service> service_;
  uint16_t port_ = 0;
};

}  // namespace TestSupport
