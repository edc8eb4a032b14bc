#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

namespace Common {

// Holds back log lines that repeat faster than anyone can read them: at most
// a given number of lines of one key a second. The second starts with the
// first line let through after the previous one ended. Thread-safe.
class LogRateLimiter {
 public:
  virtual ~LogRateLimiter() = default;

  // Whether a line of `key` may be written now. When it may, `suppressed` is
  // set to how many lines of the key were held back since the last one let
  // through, for the caller to say so first.
  virtual bool Admit(std::string_view key, uint64_t& suppressed) = 0;
};

// `nowNs` reads a steady clock in nanoseconds; by default std::chrono::steady_clock.
std::unique_ptr<LogRateLimiter> CreateLogRateLimiter(uint32_t linesPerSecond,
                                                     std::function<uint64_t()> nowNs = nullptr);

// The limiter one kind of line shares across the process, which a test may
// replace with one on a clock of its own. Thread-safe.
class LogRateLimiterSlot {
 public:
  explicit LogRateLimiterSlot(uint32_t linesPerSecond);

  std::shared_ptr<LogRateLimiter> Get() const;
  // Null restores the default; returns the one replaced.
  std::shared_ptr<LogRateLimiter> Replace(std::shared_ptr<LogRateLimiter> limiter);

 private:
  const uint32_t linesPerSecond_;
  mutable std::mutex mutex_;
  std::shared_ptr<LogRateLimiter> limiter_;
};

}  // namespace Common
