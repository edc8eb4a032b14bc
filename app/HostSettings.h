#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Host {

// One thing the host can be told, by the same name on its command line
// (--port) and in its configuration file (port = 2049).
struct SettingKey {
  const char* name;
  // What it takes, for messages ("a number from 1 to 65535"); every key of
  // the file takes a value, "yes" or "no" for a switch of the command line.
  const char* value;
  bool isSwitch;
  // Takes effect only when the host starts; a reload says so and keeps the
  // running value.
  bool needsRestart;
};

const std::vector<SettingKey>& SettingKeys();
// The key of that name; null when there is none.
const SettingKey* FindSettingKey(const std::string& name);

// What one source (the command line, the configuration file) says. Values
// are checked as they are set and kept in one spelling ("yes" becomes
// "true", "warning" becomes "3"), so that two sources compare by text.
class HostSettings {
 public:
  // False, with `problem` saying what is wrong with the value ("'20x': give
  // a number from 1 to 65535"), for an unknown key or a refused value.
  bool Set(const std::string& key, const std::string& value, std::string& problem);

  std::optional<std::string> Text(const std::string& key) const;
  std::optional<bool> Flag(const std::string& key) const;
  std::optional<uint64_t> Number(const std::string& key) const;
  bool Has(const std::string& key) const { return values_.count(key) != 0; }

  // These settings, and `under`'s where these have none.
  HostSettings Over(const HostSettings& under) const;
  // The keys set differently here and in `other` (set in one only included).
  std::vector<std::string> ChangedFrom(const HostSettings& other) const;

 private:
  std::map<std::string, std::string> values_;
};

// Reads a configuration file: "key = value" lines, blank lines and lines
// starting with '#' ignored, each key at most once. False with `error`
// saying "PATH:LINE: reason" (or "PATH: reason" when it cannot be read).
bool ReadConfigFile(const std::string& path, HostSettings& settings, std::string& error);

// Where the host looks for its configuration when --config is not given.
inline constexpr const char* kDefaultConfigPath = "/etc/nfs_host/nfs_host.conf";

}  // namespace Host
