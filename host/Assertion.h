#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/LogRateLimiter.h"

namespace Common {

// Reports a failed internal consistency check and lets processing go on.
// Client input can reach some checks: the log gets at most
// kAssertionLinesPerSecond reports of one check a second, then a line that
// says how many were held back when the next one is written.
void ReportAssertion(const char* condition, const char* file, int line);

inline constexpr uint32_t kAssertionLinesPerSecond = 10;

// Replaces the limit of the reports written to the log (tests give one with
// a clock of their own); returns the previous one. Null restores the default.
std::shared_ptr<LogRateLimiter> SetAssertionLimiter(std::shared_ptr<LogRateLimiter> limiter);

// Collects the reports (formatted lines) while alive, instead of printing
// them; every report, without a limit.
class ScopedAssertionCapture {
 public:
  ScopedAssertionCapture();
  ~ScopedAssertionCapture();
  ScopedAssertionCapture(const ScopedAssertionCapture&) = delete;
  ScopedAssertionCapture& operator=(const ScopedAssertionCapture&) = delete;
  std::vector<std::string> Reports() const;
};

}  // namespace Common

// Evaluates to the condition's truth, reporting when it is false, so callers
// can take their fallback: if (!COMMON_ASSERT(x)) { ... }
#define COMMON_ASSERT(condition) \
  ((condition) ? true : (::Common::ReportAssertion(#condition, __FILE__, __LINE__), false))

// Reports a check that failed with the given text, for fallbacks reached
// without a condition to show.
#define COMMON_ASSERT_TEXT(text) ::Common::ReportAssertion(text, __FILE__, __LINE__)
