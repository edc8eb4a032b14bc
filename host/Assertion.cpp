#include "host/Assertion.h"

#include <fmt/format.h>

#include <mutex>
#include <utility>

#include "host/Logging.h"

namespace Common {

namespace {

std::mutex g_mutex;
int g_captures = 0;
std::vector<std::string> g_reports;

constexpr uint32_t kAssertionChannel = 0;

std::shared_ptr<LogRateLimiter> CreateDefaultLimiter() {
  return CreateLogRateLimiter(kAssertionLinesPerSecond);
}

// Guarded by g_mutex.
std::shared_ptr<LogRateLimiter>& Limiter() {
  // Never destroyed: checks may fail while the process ends.
  static auto* limiter = new std::shared_ptr<LogRateLimiter>(CreateDefaultLimiter());
  return *limiter;
}

}  // namespace

void ReportAssertion(const char* condition, const char* file, int line) {
  const std::string text = fmt::format("Assertion failed: {}, file {}, line {}", condition, file, line);
  std::shared_ptr<LogRateLimiter> limiter;
  {
    std::lock_guard lock(g_mutex);
    if (g_captures > 0) {
      g_reports.push_back(text);
      return;
    }
    limiter = Limiter();
  }
  uint64_t suppressed = 0;
  if (!limiter->Admit(text, suppressed)) return;
  if (suppressed > 0) {
    Logger::Write(kFailure, kAssertionChannel, fmt::format("{} similar reports suppressed: {}", suppressed, text));
  }
  Logger::Write(kFailure, kAssertionChannel, text);
}

std::shared_ptr<LogRateLimiter> SetAssertionLimiter(std::shared_ptr<LogRateLimiter> limiter) {
  std::lock_guard lock(g_mutex);
  return std::exchange(Limiter(), limiter ? std::move(limiter) : CreateDefaultLimiter());
}

ScopedAssertionCapture::ScopedAssertionCapture() {
  std::lock_guard lock(g_mutex);
  if (g_captures++ == 0) g_reports.clear();
}

ScopedAssertionCapture::~ScopedAssertionCapture() {
  std::lock_guard lock(g_mutex);
  --g_captures;
}

std::vector<std::string> ScopedAssertionCapture::Reports() const {
  std::lock_guard lock(g_mutex);
  return g_reports;
}

}  // namespace Common
