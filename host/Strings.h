#pragma once

#include <string>
#include <string_view>

namespace Common {

// Wide strings are UTF-16 code units; tables keyed by them compare ordinally.
using WString = std::u16string;
using WStringView = std::u16string_view;

// Strict conversion: false when the text holds a lone surrogate.
bool TryToUtf8(WStringView text, std::string& out);

// Lenient conversion for messages and logs: lone surrogates become U+FFFD.
std::string ToUtf8(WStringView text);

// UTF-8 when the bytes are valid UTF-8, else each byte becomes one code unit.
WString FromUtf8(std::string_view bytes);

// Convenience for literals and ASCII texts.
inline WString Widen(std::string_view ascii) { return FromUtf8(ascii); }

}  // namespace Common
