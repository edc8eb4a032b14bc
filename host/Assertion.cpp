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

LogRateLimiterSlot& Limits() {
  // Never destroyed: checks may fail while the process ends.
  static auto* slot = new LogRateLimiterSlot(kAssertionLinesPerSecond);
  return *slot;
}

}  // namespace

void ReportAssertion(const char* condition, const char* file, int line) {
  const std::string text = fmt::format("Assertion failed: {}, file {}, line {}", condition, file, line);
  {
    std::lock_guard lock(g_mutex);
    if (g_captures > 0) {
      g_reports.push_back(text);
      return;
    }
  }
  const std::shared_ptr<LogRateLimiter> limiter = Limits().Get();
  uint64_t suppressed = 0;
  if (!limiter->Admit(text, suppressed)) return;
  if (suppressed > 0) {
    Logger::Write(kFailure, kAssertionChannel, fmt::format("{} similar reports suppressed: {}", suppressed, text));
  }
  Logger::Write(kFailure, kAssertionChannel, text);
}

std::shared_ptr<LogRateLimiter> SetAssertionLimiter(std::shared_ptr<LogRateLimiter> limiter) {
  return Limits().Replace(std::move(limiter));
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
