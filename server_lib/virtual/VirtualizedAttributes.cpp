#include "server_lib/virtual/VirtualizedAttributes.h"

#include <chrono>
#include <random>

namespace NFS {

namespace {

uint64_t RandomFileId() {
  try {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) | device();
  } catch (const std::exception&) {
    // No system random source: a time-seeded generator still gives ids
    // that are unlikely to repeat.
    std::mt19937_64 generator(static_cast<uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count()));
    return generator();
  }
}

uint64_t NowMilliseconds() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

VirtualizedAttributes::VirtualizedAttributes(uint64_t size)
    : size_(size), fileId_(RandomFileId()), time_(NowMilliseconds()) {}

}  // namespace NFS
