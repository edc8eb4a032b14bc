#include "app/HostSettings.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/MetricsServer.h"
#include "host/Logging.h"
#include "host/Network.h"
#include "tools/CommandLine.h"

namespace Host {

namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The spelling kept for a switch's value; nullopt when it is not one.
std::optional<std::string> BooleanOf(const std::string& value) {
  std::string lower = value;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "yes" || lower == "true" || lower == "on" || lower == "1") return "true";
  if (lower == "no" || lower == "false" || lower == "off" || lower == "0") return "false";
  return std::nullopt;
}

// "2" or "notice": the names the log lines carry.
std::optional<std::string> LogLevelOf(const std::string& value) {
  static const std::pair<const char*, int> kNames[] = {{"trace", Common::kTrace},
                                                       {"notice", Common::kNotice},
                                                       {"warning", Common::kWarning},
                                                       {"failure", Common::kFailure}};
  for (const auto& [name, level] : kNames) {
    if (value == name) return std::to_string(level);
  }
  uint64_t number = 0;
  if (!Tools::ParseNumber(value, Common::kTrace, Common::kFailure, number)) return std::nullopt;
  return std::to_string(number);
}

// The value as kept, or nullopt with `problem` set.
std::optional<std::string> Checked(const SettingKey& key, const std::string& value, std::string& problem) {
  const std::string name = key.name;
  const auto refuse = [&](const std::string& why) -> std::optional<std::string> {
    problem = "'" + value + "': " + why;
    return std::nullopt;
  };
  if (key.isSwitch) {
    auto boolean = BooleanOf(value);
    return boolean ? boolean : refuse("give yes or no");
  }
  if (name == "log-level") {
    auto level = LogLevelOf(value);
    return level ? level : refuse("give 1 to 4, or trace, notice, warning or failure");
  }
  if (name == "port") {
    uint64_t number = 0;
    if (!Tools::ParseNumber(value, 1, 65535, number)) return refuse("give a number from 1 to 65535");
    return std::to_string(number);
  }
  if (name == "cache-objects") {
    uint64_t number = 0;
    if (!Tools::ParseNumber(value, 0, UINT64_MAX, number)) return refuse("give a number of objects");
    return std::to_string(number);
  }
  if (name == "listen") {
    IpNetwork literal;
    if (!ParseIpAddress(value, literal)) return refuse("not an IPv4 or IPv6 address (host names are not taken)");
  } else if (name == "allow-clients") {
    ClientNetworks networks;
    std::string why;
    if (!ClientNetworks::Parse(value, networks, why)) return refuse(why);
  } else if (name == "metrics-listen") {
    ListenAddress address;
    std::string why;
    if (!ParseListenAddress(value, address, why)) return refuse(why);
  }
  return value;
}

}  // namespace

const std::vector<SettingKey>& SettingKeys() {
  static const std::vector<SettingKey> kKeys = {
      {"local-path", "a folder", false, true},
      {"share-name", "a name", false, true},
      {"allow-clients", "a list of networks", false, false},
      {"read-only", "yes or no", true, false},
      {"async-writes", "yes or no", true, true},
      {"listen", "an IPv4 or IPv6 address", false, true},
      {"port", "a number from 1 to 65535", false, true},
      {"state-dir", "a folder", false, true},
      {"cache-objects", "a number of objects", false, true},
      {"log-level", "1 to 4, or trace, notice, warning or failure", false, false},
      {"log-file", "a path", false, false},
      {"metrics-listen", "ADDR:PORT", false, true},
      {"control-socket", "a path", false, true},
      {"modules", "a folder", false, true},
  };
  return kKeys;
}

const SettingKey* FindSettingKey(const std::string& name) {
  for (const auto& key : SettingKeys()) {
    if (name == key.name) return &key;
  }
  return nullptr;
}

bool HostSettings::Set(const std::string& key, const std::string& value, std::string& problem) {
  const SettingKey* known = FindSettingKey(key);
  if (known == nullptr) {
    problem = "unknown key '" + key + "'";
    return false;
  }
  auto checked = Checked(*known, value, problem);
  if (!checked) return false;
  values_[key] = *checked;
  return true;
}

std::optional<std::string> HostSettings::Text(const std::string& key) const {
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::optional<bool> HostSettings::Flag(const std::string& key) const {
  const auto text = Text(key);
  if (!text) return std::nullopt;
  return *text == "true";
}

std::optional<uint64_t> HostSettings::Number(const std::string& key) const {
  const auto text = Text(key);
  uint64_t number = 0;
  if (!text || !Tools::ParseNumber(*text, 0, UINT64_MAX, number)) return std::nullopt;
  return number;
}

HostSettings HostSettings::Over(const HostSettings& under) const {
  HostSettings merged = under;
  for (const auto& [key, value] : values_) merged.values_[key] = value;
  return merged;
}

std::vector<std::string> HostSettings::ChangedFrom(const HostSettings& other) const {
  std::vector<std::string> changed;
  for (const auto& key : SettingKeys()) {
    if (Text(key.name) != other.Text(key.name)) changed.push_back(key.name);
  }
  return changed;
}

bool ReadConfigFile(const std::string& path, HostSettings& settings, std::string& error) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    error = path + ": is a folder, not a configuration file";
    return false;
  }
  std::ifstream file(path);
  if (!file) {
    error = path + ": cannot be read";
    return false;
  }
  std::map<std::string, size_t> seen;
  std::string line;
  for (size_t number = 1; std::getline(file, line); ++number) {
    const std::string where = path + ":" + std::to_string(number) + ": ";
    const std::string content = Trim(line);
    if (content.empty() || content[0] == '#') continue;
    const size_t equals = content.find('=');
    if (equals == std::string::npos) {
      error = where + "expected 'key = value', found '" + Common::EscapeLogText(content, 80) + "'";
      return false;
    }
    const std::string key = Trim(content.substr(0, equals));
    const std::string value = Trim(content.substr(equals + 1));
    if (const auto earlier = seen.find(key); earlier != seen.end()) {
      error = where + "'" + key + "' is set already at line " + std::to_string(earlier->second);
      return false;
    }
    std::string problem;
    if (!settings.Set(key, value, problem)) {
      error = where + (FindSettingKey(key) != nullptr ? key + " " : std::string()) + problem;
      return false;
    }
    seen[key] = number;
  }
  if (file.bad()) {
    error = path + ": cannot be read";
    return false;
  }
  return true;
}

}  // namespace Host
