#include "server_lib/local/FSInfoImpl.h"

#include <array>
#include <vector>

namespace NFS {

namespace {

struct FileSystemName {
  std::string_view name;
  uint32_t code;
};

constexpr std::array<FileSystemName, 18> kFileSystems = {{
    {"REISER4", 1}, {"REISERFS", 2}, {"JFS", 3},    {"EXT4FS", 4},     {"EXT3FS", 5},
    {"EXT2FS", 6},  {"HFSPLUS", 7},  {"HFSX", 8},   {"XFS", 9},        {"NTFS", 10},
    {"HPFS", 13},   {"FAT16", 14},   {"FAT32", 15}, {"VFAT", 15},      {"EXFAT", 16},
    {"LINUXSWAP", 17}, {"GFS2", 18}, {"APFS", 23},
}};

constexpr size_t kNameUnits = 64;

}  // namespace

FSInfoImpl::FSInfoImpl(LocalFs::LocalDirectoryHandle& folder) {
  std::vector<uint8_t> request(4 + kNameUnits * 2, 0);
  request[0] = 'G';
  request[1] = 'F';
  request[2] = 'S';
  request[3] = 'T';
  if (!folder.Control(request)) {
    folder.TakeStatus();
    return;
  }
  // The name comes back in UTF-16; the table holds narrow names.
  std::string name;
  for (size_t unit = 0; unit < kNameUnits; ++unit) {
    const uint16_t value = static_cast<uint16_t>(request[4 + unit * 2] | (request[5 + unit * 2] << 8));
    if (value == 0) break;
    name.push_back(static_cast<char>(value & 0xFF));
  }
  type_ = FileSystemTypeFromName(name);
}

uint32_t FSInfoImpl::FileSystemTypeFromName(std::string_view name) {
  for (const auto& entry : kFileSystems) {
    if (entry.name == name) return entry.code;
  }
  return 0;
}

uint64_t FSInfoImpl::MaxFileSizeOf(uint32_t fileSystemType) {
  switch (fileSystemType) {
    case 1:
    case 2:
      return 0x80000000000ULL;
    case 3:
      return 0x10000000000000ULL;
    case 4:
    case 5:
    case 6:
      return 0x400000000ULL;
    case 7:
    case 9:
    case 10:
    case 23:
      return 0x8000000000000000ULL;
    case 13:
    case 14:
      return 0x80000000ULL;
    case 16:
      return 0x1FC000000000000ULL;
    case 18:
      return 0x20000000000ULL;
    default:
      return 0x100000000ULL;
  }
}

uint64_t FSInfoImpl::GetMaxFileSize() { return MaxFileSizeOf(type_); }

}  // namespace NFS
