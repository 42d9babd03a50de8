// The whole run: confirmation, the steps in their fixed order, the outcome dialog, the
// exit code. Windows-free: it talks to the dialogs, the console and the steps through
// the interfaces it is given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "main/steps.h"
#include "ui/ui.h"

namespace velbro {

// The process exit code: 0 after success or a decline, 1 after a failed step.
std::uint32_t run_installer(UserInterface& ui, InstallSteps& steps);

// The installation steps; the console is open. Stops at the first failure.
RunResult run_steps(UserInterface& ui, InstallSteps& steps);

// The failure dialog's content: first character fully upper-cased, a full stop appended.
std::string failure_text(std::string_view message);

}  // namespace velbro
