// The full Unicode upper-case mapping of one character, which the failure dialog applies to
// the first character of a message. Windows-free, so it is tested natively.
#pragma once

#include <cstddef>

namespace velbro {

// Writes the unconditional full upper-case mapping of `c` to `out` and returns its length
// (1 to 3; "ß" gives "SS"). A character without a mapping, or not a scalar value, is written
// unchanged.
std::size_t full_upper_case(char32_t c, char32_t out[3]);

}  // namespace velbro
