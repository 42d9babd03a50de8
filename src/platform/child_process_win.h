// Runs another program in the installer's console, with the installer's standard handles,
// and waits for it to end.
#pragma once

#include <cstdint>

#include "platform/command_line.h"

namespace velbro {

// The child's exit code (any value, crashes included), or the error that kept it from
// running or from being waited for. Blocks without a time limit.
Result<std::uint32_t, SystemError> run_and_wait(const ChildCommand& command);

}  // namespace velbro
