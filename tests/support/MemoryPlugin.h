#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "server_lib/plugins/VirtualFilePlugin.h"

namespace TestSupport {

// A virtual-file plug-in for tests: URIs "<scheme>:<key>" whose content is a
// byte buffer set with SetContent. "<scheme>:broken" is accepted but fails
// to open. Control requests are answered by reversing the request bytes.
class MemoryPlugin : public NFS::VirtualFilePlugin {
 public:
  explicit MemoryPlugin(std::string scheme = "mem");

  void SetContent(const std::string& key, std::string bytes);
  std::string GetContent(const std::string& key) const;
  int OpenCount() const { return opens_; }
  void* LastContext() const { return context_; }

  void SetContext(void* context) override { context_ = context; }
  Common::WString GetName() override;
  bool CanOpen(const Common::WString& uri) override;
  Common::Error OpenFile(const Common::WString& uri, const NFS::SourceParams& params,
                         std::unique_ptr<LocalFs::LocalFileHandle>& content) override;

 private:
  struct Store {
    std::mutex mutex;
    std::map<std::string, std::string> contents;
  };

  std::string scheme_;
  std::shared_ptr<Store> store_ = std::make_shared<Store>();
  std::atomic<int> opens_{0};
  std::atomic<void*> context_{nullptr};
};

}  // namespace TestSupport
