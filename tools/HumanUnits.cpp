#include "tools/HumanUnits.h"

#include <cmath>
#include <cstdio>

namespace Tools {

namespace {

std::string Printed(const char* format, double value, const char* unit) {
  char text[48];
  std::snprintf(text, sizeof text, format, value, unit);
  return text;
}

// Three significant digits at most: "850", "12.3", "1.20".
std::string Scaled(double value, const char* unit) {
  if (value >= 100 || value == std::floor(value)) return Printed("%.0f %s", value, unit);
  if (value >= 10) return Printed("%.1f %s", value, unit);
  return Printed("%.2f %s", value, unit);
}

}  // namespace

std::string FormatBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024;
    ++unit;
  }
  if (unit == 0) return Printed("%.0f %s", bytes, kUnits[0]);
  return Printed(bytes >= 100 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
}

std::string FormatDuration(uint64_t nanoseconds) {
  const auto ns = static_cast<double>(nanoseconds);
  if (ns < 1e3) return Printed("%.0f %s", ns, "ns");
  if (ns < 1e6) return Scaled(ns / 1e3, "us");
  if (ns < 1e9) return Scaled(ns / 1e6, "ms");
  return Scaled(ns / 1e9, "s");
}

std::string FormatAge(uint64_t seconds) {
  char text[48];
  const uint64_t days = seconds / 86400;
  const uint64_t hours = seconds / 3600 % 24;
  const uint64_t minutes = seconds / 60 % 60;
  const uint64_t rest = seconds % 60;
  if (days > 0) {
    std::snprintf(text, sizeof text, "%llud %02lluh %02llum", static_cast<unsigned long long>(days),
                  static_cast<unsigned long long>(hours), static_cast<unsigned long long>(minutes));
  } else if (hours > 0) {
    std::snprintf(text, sizeof text, "%lluh %02llum %02llus", static_cast<unsigned long long>(hours),
                  static_cast<unsigned long long>(minutes), static_cast<unsigned long long>(rest));
  } else if (minutes > 0) {
    std::snprintf(text, sizeof text, "%llum %02llus", static_cast<unsigned long long>(minutes),
                  static_cast<unsigned long long>(rest));
  } else {
    std::snprintf(text, sizeof text, "%llus", static_cast<unsigned long long>(rest));
  }
  return text;
}

std::string FormatCount(double count) {
  char text[32];
  if (count < 10 && count != std::floor(count)) {
    std::snprintf(text, sizeof text, "%.1f", count);
  } else if (count < 1e4) {
    std::snprintf(text, sizeof text, "%.0f", count);
  } else if (count < 1e6) {
    std::snprintf(text, sizeof text, "%.1fk", count / 1e3);
  } else if (count < 1e9) {
    std::snprintf(text, sizeof text, "%.1fM", count / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.1fG", count / 1e9);
  }
  return text;
}

}  // namespace Tools
