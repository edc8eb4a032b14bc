#include "host/Assertion.h"

#include <fmt/format.h>

#include <mutex>

#include "host/Logging.h"

namespace Common {

namespace {

std::mutex g_mutex;
int g_captures = 0;
std::vector<std::string> g_reports;

constexpr uint32_t kAssertionChannel = 0;

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
  Logger::Write(kFailure, kAssertionChannel, text);
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
