#pragma once

#include <cstdint>
#include <string>

namespace Tools {

// "1000 B", "1.5 KiB", "12.3 MiB" ...
std::string FormatBytes(double bytes);
// "850 ns", "12.3 us", "1.20 ms", "2.50 s"
std::string FormatDuration(uint64_t nanoseconds);
// "45s", "5m 03s", "2h 03m 10s", "3d 04h 05m"
std::string FormatAge(uint64_t seconds);
// "12", "1.2k", "3.4M": counts and rates in a narrow column.
std::string FormatCount(double count);

}  // namespace Tools
