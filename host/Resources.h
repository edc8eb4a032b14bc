#pragma once

#include <map>
#include <string>

#include "host/Strings.h"

namespace Core {

// A module's resource strings, read at run time from the file shipped beside
// the module: one "key = value" per line, UTF-8, "#" starts a comment line.
class ResourceTable {
 public:
  // Throws when the file cannot be read.
  static ResourceTable Load(const std::string& path);
  // Empty when the key is unknown.
  Common::WString Get(const std::string& key) const;
  bool Has(const std::string& key) const { return strings_.count(key) != 0; }

 private:
  std::map<std::string, Common::WString> strings_;
};

// The folder of the shared object (or executable) that holds the address.
std::string FolderOfCode(const void* address);

}  // namespace Core
