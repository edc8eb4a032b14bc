#include "host/Messages.h"

#include <map>
#include <mutex>

namespace Common {

namespace {

std::mutex& CatalogueMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<uint32_t, WString>& Texts() {
  static std::map<uint32_t, WString> texts;
  return texts;
}

}  // namespace

void MessageCatalogue::SetText(uint32_t id, WString text) {
  std::lock_guard lock(CatalogueMutex());
  Texts()[id] = std::move(text);
}

void MessageCatalogue::Clear() {
  std::lock_guard lock(CatalogueMutex());
  Texts().clear();
}

WString MessageCatalogue::GetText(const Message& message) {
  std::lock_guard lock(CatalogueMutex());
  const auto it = Texts().find(message.id);
  return it != Texts().end() ? it->second : FromUtf8(message.english);
}

namespace Detail {

std::string FillPlaceholders(const std::string& pattern, fmt::format_args args) {
  try {
    return fmt::vformat(pattern, args);
  } catch (const fmt::format_error&) {
    return pattern;
  }
}

}  // namespace Detail

}  // namespace Common
