#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "host/Streams.h"

namespace Host {

// One watcher's queue between the thread that raises an item and the
// connection that writes it out. Push takes a lock held for a copy only and
// never waits for the connection: when `capacity` items wait, the new one is
// dropped and counted, so a watcher that falls behind loses items rather
// than slowing whoever raised them.
class StreamQueue : public Core::StreamSink {
 public:
  // Throws Common::Error when the wake-up descriptor cannot be made.
  explicit StreamQueue(size_t capacity);
  ~StreamQueue() override;
  StreamQueue(const StreamQueue&) = delete;
  StreamQueue& operator=(const StreamQueue&) = delete;

  void Push(Core::Record item) override;
  // Readable while items or drops wait to be taken.
  int WakeDescriptor() const { return wake_; }
  // Everything waiting, oldest first, and how many items were dropped since
  // the last take: all of them later than the items taken, since only a full
  // queue drops.
  void Take(std::vector<Core::Record>& items, uint64_t& dropped);

 private:
  const size_t capacity_;
  int wake_ = -1;
  std::mutex mutex_;
  std::deque<Core::Record> items_;
  uint64_t dropped_ = 0;
};

}  // namespace Host
