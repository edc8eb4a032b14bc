#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "host/Error.h"
#include "host/Strings.h"

namespace Core {

using Blob = std::vector<uint8_t>;
using Value = std::variant<Common::WString, uint64_t, bool, Blob>;

// An object-model record: a type name and named, typed properties.
class Record {
 public:
  explicit Record(std::string typeName = "") : typeName_(std::move(typeName)) {}

  const std::string& GetTypeName() const { return typeName_; }
  bool Has(const std::string& name) const { return properties_.count(name) != 0; }
  void Set(const std::string& name, Value value) { properties_[name] = std::move(value); }
  const std::map<std::string, Value>& Properties() const { return properties_; }

  // Throws the property-not-found error, or a type error.
  template <typename T>
  const T& Get(const std::string& name) const {
    const auto it = properties_.find(name);
    if (it == properties_.end()) ThrowNotFound(name);
    if (!std::holds_alternative<T>(it->second)) ThrowWrongType(name, TypeName<T>());
    return std::get<T>(it->second);
  }

  // Optional properties: absent means the fallback.
  template <typename T>
  T GetOr(const std::string& name, T fallback) const {
    return Has(name) ? Get<T>(name) : fallback;
  }

  template <typename T>
  static const char* TypeName() {
    if constexpr (std::is_same_v<T, Common::WString>) return "string";
    if constexpr (std::is_same_v<T, uint64_t>) return "unsigned 64-bit integer";
    if constexpr (std::is_same_v<T, bool>) return "bool";
    if constexpr (std::is_same_v<T, Blob>) return "byte vector";
    return "unknown";
  }

 private:
  [[noreturn]] void ThrowNotFound(const std::string& name) const;
  [[noreturn]] void ThrowWrongType(const std::string& name, const char* type) const;

  std::string typeName_;
  std::map<std::string, Value> properties_;
};

}  // namespace Core
