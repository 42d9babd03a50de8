// The Windows side of SystemError: taking the last error code, and the message lookup behind
// the display text, replaceable so that the lookup's own failures can be tested.
#pragma once

#include <windows.h>

#include <string>

#include "platform/system_error.h"

namespace velbro {

// Call right after the failing call, before anything else can change the thread's error code.
inline SystemError last_system_error() { return SystemError::from_code(::GetLastError()); }

using FormatMessageFunction = decltype(&::FormatMessageW);

// display_text with another message lookup in place of FormatMessageW.
std::string display_text(const SystemError& error, FormatMessageFunction format_message);

}  // namespace velbro
