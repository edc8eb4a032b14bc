#include "tests/support/MemoryPlugin.h"

#include <algorithm>
#include <cstring>

namespace TestSupport {

namespace {

constexpr uint32_t kMemoryError = 0x7770001;

}  // namespace

// Reads and writes the shared buffer of one key.
class MemoryFile : public LocalFs::LocalFileHandle {
 public:
  MemoryFile(std::shared_ptr<void> store, std::mutex& mutex, std::string& bytes)
      : store_(std::move(store)), mutex_(mutex), bytes_(bytes) {}

  const Common::Error& GetStatus() const override { return status_; }
  Common::Error TakeStatus() override { return std::exchange(status_, Common::Error()); }
  uint64_t GetPosition() const override { return position_; }
  bool Seek(uint64_t position) override {
    ++seeks;
    position_ = position;
    return true;
  }
  bool Read(void* buffer, size_t size, size_t& bytesRead) override {
    std::lock_guard lock(mutex_);
    bytesRead = position_ >= bytes_.size() ? 0 : std::min<size_t>(size, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, bytesRead);
    position_ += bytesRead;
    return true;
  }
  bool Write(const void* buffer, size_t size, size_t& bytesWritten) override {
    std::lock_guard lock(mutex_);
    if (bytes_.size() < position_ + size) bytes_.resize(position_ + size);
    std::memcpy(bytes_.data() + position_, buffer, size);
    position_ += size;
    bytesWritten = size;
    return true;
  }
  bool Flush() override { return true; }
  uint64_t GetSize() override {
    std::lock_guard lock(mutex_);
    return bytes_.size();
  }
  bool SetSize(uint64_t size) override {
    std::lock_guard lock(mutex_);
    bytes_.resize(size);
    return true;
  }
  bool Control(std::vector<uint8_t>& request) override {
    if (request.empty()) {
      status_ = Common::Error(kMemoryError, u"empty control request");
      return false;
    }
    std::reverse(request.begin(), request.end());
    return true;
  }

  static inline std::atomic<int> seeks{0};

 private:
  std::shared_ptr<void> store_;
  std::mutex& mutex_;
  std::string& bytes_;
  uint64_t position_ = 0;
  Common::Error status_;
};

MemoryPlugin::MemoryPlugin(std::string scheme) : scheme_(std::move(scheme)) {}

void MemoryPlugin::SetContent(const std::string& key, std::string bytes) {
  std::lock_guard lock(store_->mutex);
  store_->contents[key] = std::move(bytes);
}

std::string MemoryPlugin::GetContent(const std::string& key) const {
  std::lock_guard lock(store_->mutex);
  return store_->contents[key];
}

Common::WString MemoryPlugin::GetName() { return Common::FromUtf8(scheme_ + "-plugin"); }

bool MemoryPlugin::CanOpen(const Common::WString& uri) {
  return Common::ToUtf8(uri).rfind(scheme_ + ":", 0) == 0;
}

Common::Error MemoryPlugin::OpenFile(const Common::WString& uri, const NFS::SourceParams& params,
                                     std::unique_ptr<LocalFs::LocalFileHandle>& content) {
  ++opens_;
  const std::string key = Common::ToUtf8(uri).substr(scheme_.size() + 1);
  if (key == "broken") return Common::Error(kMemoryError, u"cannot open broken content");
  std::lock_guard lock(store_->mutex);
  content = std::make_unique<MemoryFile>(store_, store_->mutex, store_->contents[key]);
  return Common::Error::Success();
}

}  // namespace TestSupport
