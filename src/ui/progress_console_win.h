// The console a confirmed run opens: status lines, the children's output, and the owner
// window of the outcome dialog.
#pragma once

#include <windows.h>

#include <string_view>

namespace velbro {

// Creates a console (a failure is ignored) and returns its window, or none.
HWND open_progress_console();

// Writes the whole UTF-8 text to the current standard output; never reports a failure.
void print_status(std::string_view text);

void close_progress_console();

}  // namespace velbro
