#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace TestSupport {

// A count that threads raise and a test waits on, so that tests wait for
// what they need to have happened rather than for a guessed time.
class Counter {
 public:
  void Add(long n = 1) {
    {
      std::lock_guard lock(mutex_);
      value_ += n;
    }
    changed_.notify_all();
  }
  long Value() {
    std::lock_guard lock(mutex_);
    return value_;
  }
  // Whether the count reached `target` within `timeout`.
  bool WaitFor(long target, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return value_ >= target; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long value_ = 0;
};

// For facts nothing announces (descriptors the system closes): checks the
// condition until it holds or `timeout` passes; whether it held.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace TestSupport
