#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace TestSupport {

inline constexpr uint64_t kSecondNs = 1'000'000'000;

// A steady clock that moves only when a test says so.
class FakeClock {
 public:
  explicit FakeClock(uint64_t startNs = 42 * kSecondNs) : now_(startNs) {}

  std::function<uint64_t()> Reader() {
    return [this] { return now_.load(); };
  }
  void Advance(uint64_t ns) { now_ += ns; }

 private:
  std::atomic<uint64_t> now_;
};

}  // namespace TestSupport
