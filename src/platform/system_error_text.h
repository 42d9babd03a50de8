// The display text of an error code, from what the system's message lookup gave. Kept apart
// from the lookup itself so that the text rules are tested without Windows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velbro {

// "{message} (os error {code})": the message as the lookup wrote it, trailing whitespace
// removed; a message that is not valid UTF-16 gives the fallback text instead.
std::string error_text_from_message(std::uint32_t code, std::u16string_view message);

// The text when the lookup itself failed with `lookup_error`.
std::string error_text_from_lookup_failure(std::uint32_t code, std::uint32_t lookup_error);

}  // namespace velbro
