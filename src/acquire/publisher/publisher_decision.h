// Whether a checked package may be installed, from the trust provider's status and the
// signer's name alone. Windows-free, so every branch is tested natively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/step_result.h"

namespace velbro {

// In this order: a non-zero status fails whatever the name; then a missing name; then a name
// that is not byte for byte EXPECTED_PUBLISHER. Nothing else is accepted.
StepFailure decide_publisher(std::int32_t status, const std::optional<std::string>& signer_name);

}  // namespace velbro
