// What every step hands back to the flow: what it made, or its failure message.
#pragma once

#include <optional>
#include <string>

#include "platform/result.h"

namespace velbro {

// The failure of one step: a Danish message, lower-case first letter, no full stop.
struct InstallError {
    std::string message;
};

// What a step that makes nothing returns: its failure, or nothing when it succeeded.
using StepFailure = std::optional<InstallError>;

// A step that makes a T returns Result<T>: the T or the step's InstallError.

// What the whole step sequence yields: a success text shown unchanged, or the failure.
struct SuccessText {
    std::string text;
};
using RunResult = Result<SuccessText>;

}  // namespace velbro
