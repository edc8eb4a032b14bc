#include "app/StreamQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/Error.h"
#include "host/Messages.h"

namespace Host {

namespace {

constexpr uint32_t kChannelError = 0x100000A;
constexpr Common::Message kNoWakeup{0x100000C0, "Cannot make a watcher's queue: {0}"};

}  // namespace

StreamQueue::StreamQueue(size_t capacity) : capacity_(capacity) {
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) throw Common::Error(kChannelError, Common::FormatMessage(kNoWakeup, std::strerror(errno)));
}

StreamQueue::~StreamQueue() { close(wake_); }

void StreamQueue::Push(Core::Record item) {
  std::lock_guard lock(mutex_);
  const bool wasIdle = items_.empty() && dropped_ == 0;
  if (items_.size() >= capacity_) {
    ++dropped_;
    return;
  }
  try {
    items_.push_back(std::move(item));
  } catch (const std::bad_alloc&) {
    ++dropped_;
  }
  // Non-blocking, and it cannot fill up: the count only grows by one per
  // idle-to-busy change and Take resets it.
  if (wasIdle) {
    [[maybe_unused]] const int written = eventfd_write(wake_, 1);
  }
}

void StreamQueue::Take(std::vector<Core::Record>& items, uint64_t& dropped) {
  items.clear();
  std::lock_guard lock(mutex_);
  items.reserve(items_.size());
  for (auto& item : items_) items.push_back(std::move(item));
  items_.clear();
  dropped = dropped_;
  dropped_ = 0;
  eventfd_t ignored = 0;
  [[maybe_unused]] const int read = eventfd_read(wake_, &ignored);
}

}  // namespace Host
