// The text conversions on arbitrary bytes: names as clients send them, and
// the round trips the server relies on.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/Messages.h"
#include "host/Strings.h"
#include "localfs/LocalFs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t length) {
  const std::string input(reinterpret_cast<const char*>(bytes), length);
  const Common::WString wide = Common::FromUtf8(input);
  std::string back;
  if (Common::TryToUtf8(wide, back) && back != input) {
    // Only input that was not UTF-8 may change; valid UTF-8 must round-trip.
    const Common::WString again = Common::FromUtf8(back);
    if (again != wide) std::abort();
  }
  (void)Common::ToUtf8(wide);
  (void)LocalFs::IsValidEntryName(wide);
  // Code units as they come, lone surrogates included.
  Common::WString units;
  for (size_t i = 0; i + 1 < length; i += 2) units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  (void)Common::ToUtf8(units);
  (void)Common::TryToUtf8(units, back);
  (void)Common::FormatText(input, units, 42);
  return 0;
}
