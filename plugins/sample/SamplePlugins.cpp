// Sample virtual-file plug-ins, loaded by the host like any module:
//
//   file:/absolute/path   the content of that local file, read and written in
//                         place; a control request flushes it to the disk (the
//                         Blob itself is not looked at).
//   pattern:N             read-only bytes computed from the offset and N, so any
//                         size costs no storage; writes fail (clients see an I/O
//                         error); a control request is accepted and changes nothing.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "host/Addons.h"
#include "localfs/LocalFs.h"
#include "server_lib/plugins/VirtualFilePlugin.h"

namespace {

constexpr uint32_t kPluginError = 0x1840001;

Common::Error PluginError(const std::string& text) {
  return Common::Error(kPluginError, Common::FromUtf8(text));
}

bool StartsWith(const Common::WString& text, const char16_t* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Deterministic bytes: the same offset and seed always give the same byte.
class PatternContent : public LocalFs::LocalFileHandle {
 public:
  explicit PatternContent(uint64_t seed) : seed_(seed) {}

  static uint8_t ByteAt(uint64_t offset, uint64_t seed) {
    return static_cast<uint8_t>((offset * 131 + (offset >> 11) + seed * 7919) & 0xFF);
  }

  const Common::Error& GetStatus() const override { return status_; }
  Common::Error TakeStatus() override { return std::exchange(status_, Common::Error()); }
  uint64_t GetPosition() const override { return position_; }
  bool Seek(uint64_t position) override {
    position_ = position;
    return true;
  }
  bool Read(void* buffer, size_t size, size_t& bytesRead) override {
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < size; ++i) bytes[i] = ByteAt(position_ + i, seed_);
    position_ += size;
    bytesRead = size;
    return true;
  }
  bool Write(const void*, size_t, size_t& bytesWritten) override {
    bytesWritten = 0;
    status_ = PluginError("pattern: content is read-only.");
    return false;
  }
  bool Flush() override { return true; }
  uint64_t GetSize() override { return 0; }
  bool SetSize(uint64_t) override {
    status_ = PluginError("pattern: content is read-only.");
    return false;
  }
  bool Control(std::vector<uint8_t>&) override { return true; }

 private:
  uint64_t seed_;
  uint64_t position_ = 0;
  Common::Error status_;
};

// A local file, with a control request meaning "flush to the disk".
class FileContent : public LocalFs::LocalFileHandle {
 public:
  explicit FileContent(std::unique_ptr<LocalFs::LocalFileHandle> file) : file_(std::move(file)) {}
  const Common::Error& GetStatus() const override { return file_->GetStatus(); }
  Common::Error TakeStatus() override { return file_->TakeStatus(); }
  uint64_t GetPosition() const override { return file_->GetPosition(); }
  bool Seek(uint64_t position) override { return file_->Seek(position); }
  bool Read(void* buffer, size_t size, size_t& bytesRead) override { return file_->Read(buffer, size, bytesRead); }
  bool Write(const void* buffer, size_t size, size_t& bytesWritten) override {
    return file_->Write(buffer, size, bytesWritten);
  }
  bool Flush() override { return file_->Flush(); }
  uint64_t GetSize() override { return file_->GetSize(); }
  bool SetSize(uint64_t size) override { return file_->SetSize(size); }
  bool Control(std::vector<uint8_t>&) override { return file_->Flush(); }

 private:
  std::unique_ptr<LocalFs::LocalFileHandle> file_;
};

class FilePlugin : public NFS::VirtualFilePlugin {
 public:
  Common::WString GetName() override { return u"file"; }
  bool CanOpen(const Common::WString& uri) override { return StartsWith(uri, u"file:/"); }
  Common::Error OpenFile(const Common::WString& uri, const NFS::SourceParams&,
                         std::unique_ptr<LocalFs::LocalFileHandle>& content) override {
    const std::filesystem::path path(Common::ToUtf8(uri.substr(5)));
    Common::Error error;
    auto folder = LocalFs::CreateLocalDirectoryHandle(path.parent_path().string(), &error);
    if (!folder) return error;
    const Common::WString name = Common::FromUtf8(path.filename().string());
    auto file = folder->OpenFile(name, LocalFs::FileAccess::ReadWrite);
    if (!file) file = folder->OpenFile(name, LocalFs::FileAccess::Read);
    if (!file) return folder->TakeStatus();
    content = std::make_unique<FileContent>(std::move(file));
    return Common::Error();
  }
};

class PatternPlugin : public NFS::VirtualFilePlugin {
 public:
  Common::WString GetName() override { return u"pattern"; }
  bool CanOpen(const Common::WString& uri) override { return Seed(uri).has_value(); }
  Common::Error OpenFile(const Common::WString& uri, const NFS::SourceParams&,
                         std::unique_ptr<LocalFs::LocalFileHandle>& content) override {
    const auto seed = Seed(uri);
    if (!seed) return PluginError("Not a pattern: URI: " + Common::ToUtf8(uri));
    content = std::make_unique<PatternContent>(*seed);
    return Common::Error();
  }

 private:
  static std::optional<uint64_t> Seed(const Common::WString& uri) {
    if (!StartsWith(uri, u"pattern:") || uri.size() == 8 || uri.size() > 8 + 19) return std::nullopt;
    uint64_t seed = 0;
    for (size_t i = 8; i < uri.size(); ++i) {
      if (uri[i] < u'0' || uri[i] > u'9') return std::nullopt;
      seed = seed * 10 + static_cast<uint64_t>(uri[i] - u'0');
    }
    return seed;
  }
};

template <typename Plugin>
class PluginAddon : public Core::Addon {
 public:
  explicit PluginAddon(std::string name) : name_(std::move(name)) {}
  std::string GetName() const override { return name_; }
  void* CastTo(std::string_view interfaceName) override {
    return interfaceName == NFS::VirtualFilePlugin::kInterfaceName ? static_cast<NFS::VirtualFilePlugin*>(&plugin_)
                                                                   : nullptr;
  }

 private:
  std::string name_;
  Plugin plugin_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void LoadAddons(Core::AddonRegistrar& registrar) {
  registrar.RegisterAddon(std::make_shared<PluginAddon<FilePlugin>>("SampleFilePluginAddon"));
  registrar.RegisterAddon(std::make_shared<PluginAddon<PatternPlugin>>("SamplePatternPluginAddon"));
}
