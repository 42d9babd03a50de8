// Converts the flow's plain values to what the Windows dialogs and console take.
#include "ui/ui_win.h"

#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/unique_handle_win.h"
#include "ui/progress_console_win.h"
#include "ui/task_dialog_win.h"

namespace velbro {

// The flow's copies of the Windows values it needs without <windows.h>.
static_assert(BUTTON_CANCEL == IDCANCEL);
static_assert(COMMON_BUTTON_OK == TDCBF_OK_BUTTON);

int WindowsUi::show_dialog(OwnerWindow owner, bool is_error, std::string_view main_instruction,
                           std::string_view content, std::string_view footer,
                           std::span<const DialogButton> buttons, std::uint32_t common_buttons) {
    // Every text is converted before the first pointer into one is taken: the vector does
    // not grow afterwards, so the pointers stay valid until the dialog has closed.
    std::vector<std::u16string> texts;
    for (const DialogButton& button : buttons) texts.push_back(to_wide(button.text));
    std::vector<TASKDIALOG_BUTTON> native;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        native.push_back(TASKDIALOG_BUTTON{buttons[i].id, wide_ptr(texts[i])});
    }
    return velbro::show_dialog(static_cast<HWND>(owner.handle), is_error, main_instruction, content,
                               footer, native, common_buttons);
}

OwnerWindow WindowsUi::open_progress_console() { return OwnerWindow{velbro::open_progress_console()}; }

void WindowsUi::print_status(std::string_view text) { velbro::print_status(text); }

void WindowsUi::close_progress_console() { velbro::close_progress_console(); }

}  // namespace velbro
