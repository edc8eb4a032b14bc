#include "host/Strings.h"

#include <utf8.h>

namespace Common {

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Replaces lone surrogates so that the library conversion cannot fail.
WString Sanitized(WStringView text) {
  WString result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      result.push_back(c);
      result.push_back(text[++i]);
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      result.push_back(u'\uFFFD');
    } else {
      result.push_back(c);
    }
  }
  return result;
}

}  // namespace

bool TryToUtf8(WStringView text, std::string& out) {
  out.clear();
  try {
    utf8::utf16to8(text.begin(), text.end(), std::back_inserter(out));
  } catch (const utf8::exception&) {
    out.clear();
    return false;
  }
  return true;
}

std::string ToUtf8(WStringView text) {
  std::string out;
  if (TryToUtf8(text, out)) return out;
  const WString clean = Sanitized(text);
  out.clear();
  utf8::utf16to8(clean.begin(), clean.end(), std::back_inserter(out));
  return out;
}

WString FromUtf8(std::string_view bytes) {
  WString out;
  if (utf8::is_valid(bytes.begin(), bytes.end())) {
    utf8::utf8to16(bytes.begin(), bytes.end(), std::back_inserter(out));
    return out;
  }
  out.reserve(bytes.size());
  for (unsigned char c : bytes) out.push_back(static_cast<char16_t>(c));
  return out;
}

}  // namespace Common
