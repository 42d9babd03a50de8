// The installer's three dialogs all go through show_dialog, which owns their fixed look.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <span>
#include <string_view>

namespace velbro {

// Modal. The id of the button that closed the dialog; IDCANCEL when it was cancelled or
// could not be shown. Button texts are converted by the caller and outlive the call.
int show_dialog(HWND owner, bool is_error, std::string_view main_instruction,
                std::string_view content, std::string_view footer,
                std::span<const TASKDIALOG_BUTTON> buttons,
                TASKDIALOG_COMMON_BUTTON_FLAGS common_buttons);

}  // namespace velbro
