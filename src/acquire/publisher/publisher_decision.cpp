// The publisher decision and its messages.
#include "acquire/publisher/publisher_decision.h"

#include "settings/settings.h"

namespace velbro {
namespace {

// The status's 32-bit pattern in 8 upper-case digits, as Windows documents its HRESULTs.
std::string hex8(std::int32_t status) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    const auto bits = static_cast<std::uint32_t>(status);
    std::string text(8, '0');
    for (int i = 0; i < 8; ++i) text[7 - i] = DIGITS[(bits >> (4 * i)) & 0xF];
    return text;
}

}  // namespace

StepFailure decide_publisher(std::int32_t status, const std::optional<std::string>& signer_name) {
    if (status != 0) return InstallError{"ugyldig signatur (0x" + hex8(status) + ")"};
    if (!signer_name) return InstallError{"kunne ikke læse udgiver"};
    // No trimming or case folding: a look-alike name is a different publisher.
    if (*signer_name != EXPECTED_PUBLISHER) return InstallError{"uventet udgiver: " + *signer_name};
    return std::nullopt;
}

}  // namespace velbro
