#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

}  // namespace Common
