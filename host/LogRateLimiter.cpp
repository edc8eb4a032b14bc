#include "host/LogRateLimiter.h"

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace Common {

namespace {

constexpr uint64_t kSecondNs = 1'000'000'000;
// Keys are texts of the code (assertions, procedures and statuses), but a
// table that only grows is a leak all the same.
constexpr size_t kMaxKeys = 1024;

uint64_t SteadyNowNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

class LogRateLimiterImpl : public LogRateLimiter {
 public:
  LogRateLimiterImpl(uint32_t linesPerSecond, std::function<uint64_t()> nowNs)
      : linesPerSecond_(linesPerSecond), nowNs_(nowNs ? std::move(nowNs) : SteadyNowNs) {}

  bool Admit(std::string_view key, uint64_t& suppressed) override {
    std::lock_guard lock(mutex_);
    // Read under the lock, so that the clock never runs backwards here.
    const uint64_t now = nowNs_();
    auto found = keys_.find(std::string(key));
    if (found == keys_.end()) {
      if (keys_.size() >= kMaxKeys) Forget(now);
      found = keys_.emplace(std::string(key), State{now, 0, 0}).first;
    }
    State& state = found->second;
    if (now - state.windowStartNs >= kSecondNs) {
      state.windowStartNs = now;
      state.admitted = 0;
    }
    if (state.admitted >= linesPerSecond_) {
      ++state.suppressed;
      return false;
    }
    ++state.admitted;
    suppressed = state.suppressed;
    state.suppressed = 0;
    return true;
  }

 private:
  struct State {
    uint64_t windowStartNs;
    uint32_t admitted;
    uint64_t suppressed;
  };

  // Drops the keys whose second is over and nothing held back; when that
  // frees nothing, every key (their held-back counts are never told).
  void Forget(uint64_t now) {
    std::erase_if(keys_, [now](const auto& entry) {
      return now - entry.second.windowStartNs >= kSecondNs && entry.second.suppressed == 0;
    });
    if (keys_.size() >= kMaxKeys) keys_.clear();
  }

  const uint32_t linesPerSecond_;
  const std::function<uint64_t()> nowNs_;
  std::mutex mutex_;
  std::unordered_map<std::string, State> keys_;
};

}  // namespace

std::unique_ptr<LogRateLimiter> CreateLogRateLimiter(uint32_t linesPerSecond, std::function<uint64_t()> nowNs) {
  return std::make_unique<LogRateLimiterImpl>(linesPerSecond, std::move(nowNs));
}

LogRateLimiterSlot::LogRateLimiterSlot(uint32_t linesPerSecond)
    : linesPerSecond_(linesPerSecond), limiter_(CreateLogRateLimiter(linesPerSecond)) {}

std::shared_ptr<LogRateLimiter> LogRateLimiterSlot::Get() const {
  std::lock_guard lock(mutex_);
  return limiter_;
}

std::shared_ptr<LogRateLimiter> LogRateLimiterSlot::Replace(std::shared_ptr<LogRateLimiter> limiter) {
  if (!limiter) limiter = CreateLogRateLimiter(linesPerSecond_);
  std::lock_guard lock(mutex_);
  return std::exchange(limiter_, std::move(limiter));
}

}  // namespace Common
