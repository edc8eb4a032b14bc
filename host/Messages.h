#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "host/Strings.h"

namespace Common {

// A catalogue entry: its id and its English text with "{0}", "{1}" placeholders.
struct Message {
  uint32_t id;
  const char* english;
};

// Localized texts by message id. The English text of a message is used
// unless a catalogue text has been installed for its id.
class MessageCatalogue {
 public:
  static void SetText(uint32_t id, WString text);
  static void Clear();
  static WString GetText(const Message& message);
};

// An argument computed only when a text is really formatted, so that a
// trace line that is switched off, or an error text that is never needed,
// costs nothing: Common::Lazy([&] { return Expensive(); }).
template <typename F>
struct LazyArg {
  F compute;
};
template <typename F>
LazyArg<F> Lazy(F compute) {
  return LazyArg<F>{std::move(compute)};
}

namespace Detail {

inline std::string ToFormatArg(const WString& s) { return ToUtf8(s); }
inline std::string ToFormatArg(WStringView s) { return ToUtf8(s); }
inline std::string ToFormatArg(const char16_t* s) { return ToUtf8(s); }
inline std::string ToFormatArg(const std::string& s) { return s; }
inline std::string ToFormatArg(const char* s) { return s; }
template <typename T>
  requires std::is_arithmetic_v<T>
T ToFormatArg(T value) {
  return value;
}
template <typename F>
auto ToFormatArg(const LazyArg<F>& lazy) {
  return ToFormatArg(lazy.compute());
}

std::string FillPlaceholders(const std::string& pattern, fmt::format_args args);

}  // namespace Detail

// Fills "{0}", "{1}" ... of a UTF-8 pattern in order. A malformed pattern is
// returned unfilled rather than failing.
template <typename... Args>
WString FormatText(const std::string& pattern, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return FromUtf8(pattern);
  } else {
    const auto converted = std::make_tuple(Detail::ToFormatArg(args)...);
    return std::apply(
        [&](const auto&... values) {
          return FromUtf8(Detail::FillPlaceholders(pattern, fmt::make_format_args(values...)));
        },
        converted);
  }
}

template <typename... Args>
WString FormatMessage(const Message& message, const Args&... args) {
  return FormatText(ToUtf8(MessageCatalogue::GetText(message)), args...);
}

}  // namespace Common
