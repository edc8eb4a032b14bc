#pragma once

#include <string>
#include <vector>

namespace Common {

// Reports a failed internal consistency check and lets processing go on.
void ReportAssertion(const char* condition, const char* file, int line);

// Collects the reports (formatted lines) while alive, instead of printing them.
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
