// Texts of operating-system errors, shown inside the Danish failure messages.
#include "platform/system_error_text.h"

#include <optional>

#include "platform/text.h"

namespace velbro {
namespace {

// Codes are shown as signed 32-bit numbers, so HRESULT and NTSTATUS values show negative.
std::string signed_decimal(std::uint32_t code) {
    return std::to_string(static_cast<std::int32_t>(code));
}

std::string with_code(std::string text, std::uint32_t code) {
    return text + " (os error " + signed_decimal(code) + ")";
}

}  // namespace

std::string error_text_from_message(std::uint32_t code, std::u16string_view message) {
    std::optional<std::string> text = to_utf8_strict(message);
    if (!text) {
        return with_code(
            "OS Error " + signed_decimal(code) + " (FormatMessageW() returned invalid UTF-16)",
            code);
    }
    // System messages end in a line break, some with a space before it.
    text->erase(text->find_last_not_of("\t\n\f\r ") + 1);
    return with_code(std::move(*text), code);
}

std::string error_text_from_lookup_failure(std::uint32_t code, std::uint32_t lookup_error) {
    return with_code("OS Error " + signed_decimal(code) + " (FormatMessageW() returned error " +
                         signed_decimal(lookup_error) + ")",
                     code);
}

}  // namespace velbro
