#include "host/Resources.h"

#include <dlfcn.h>

#include <filesystem>
#include <fstream>

#include "host/Error.h"
#include "host/HostErrors.h"

namespace Core {

namespace {

std::string Trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  const size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

ResourceTable ResourceTable::Load(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw Common::Error(HostErrorCode::ResourcesUnavailable,
                        Common::FormatMessage(HostMessages::ResourcesUnavailable, path));
  }
  ResourceTable table;
  std::string line;
  while (std::getline(in, line)) {
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const size_t equals = trimmed.find('=');
    if (equals == std::string::npos) continue;
    table.strings_[Trimmed(trimmed.substr(0, equals))] = Common::FromUtf8(Trimmed(trimmed.substr(equals + 1)));
  }
  return table;
}

Common::WString ResourceTable::Get(const std::string& key) const {
  const auto it = strings_.find(key);
  return it != strings_.end() ? it->second : Common::WString();
}

std::string FolderOfCode(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return ".";
  std::error_code ignored;
  const auto file = std::filesystem::canonical(info.dli_fname, ignored);
  return (ignored ? std::filesystem::path(info.dli_fname) : file).parent_path().string();
}

}  // namespace Core
