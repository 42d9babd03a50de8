// UTF-8 inside, UTF-16 at the Windows boundary. These conversions are shared by every
// subsystem and do not depend on Windows, so they are tested natively too.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velbro {

// A path exactly as Windows gives it: UTF-16 units, possibly with unpaired surrogates.
using NativePath = std::u16string;

// UTF-8 to UTF-16; c_str() of the result is the NUL-terminated text Windows calls take.
// A malformed UTF-8 sequence becomes U+FFFD. An interior NUL is kept as it is.
std::u16string to_wide(std::string_view utf8);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string to_utf8(std::u16string_view utf16);

// UTF-16 to UTF-8, or nothing when the input holds an unpaired surrogate.
std::optional<std::string> to_utf8_strict(std::u16string_view utf16);

// Decodes one UTF-8 scalar value at the start of `text`. Returns the number of bytes it
// takes, or 0 when the text is empty or does not start with a well-formed sequence.
std::size_t decode_utf8(std::string_view text, char32_t& out);

// Appends the UTF-8 form of one scalar value.
void append_utf8(std::string& out, char32_t c);

}  // namespace velbro
