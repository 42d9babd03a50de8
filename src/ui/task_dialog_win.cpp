// Task dialogs through the common controls version 6, which the manifest selects.
#include "ui/task_dialog_win.h"

#include <string>

#include "platform/text.h"
#include "platform/unique_handle_win.h"
#include "settings/settings.h"

namespace velbro {

int show_dialog(HWND owner, bool is_error, std::string_view main_instruction,
                std::string_view content, std::string_view footer,
                std::span<const TASKDIALOG_BUTTON> buttons,
                TASKDIALOG_COMMON_BUTTON_FLAGS common_buttons) {
    // The converted texts must stay alive until the dialog has closed.
    const std::u16string title_w = to_wide(PRODUCT_TITLE);
    const std::u16string instruction_w = to_wide(main_instruction);
    const std::u16string content_w = to_wide(content);
    const std::u16string footer_w = to_wide(footer);

    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof(config);
    config.hwndParent = owner;
    config.hInstance = ::GetModuleHandleW(nullptr);
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.dwCommonButtons = common_buttons;
    config.pszWindowTitle = wide_ptr(title_w);
    config.pszMainIcon = is_error ? TD_ERROR_ICON : MAKEINTRESOURCEW(1);
    config.pszMainInstruction = wide_ptr(instruction_w);
    config.pszContent = wide_ptr(content_w);
    config.cButtons = static_cast<UINT>(buttons.size());
    config.pButtons = buttons.empty() ? nullptr : buttons.data();
    config.pszFooter = wide_ptr(footer_w);

    int pressed = IDCANCEL;
    if (FAILED(::TaskDialogIndirect(&config, &pressed, nullptr, nullptr))) return IDCANCEL;
    return pressed;
}

}  // namespace velbro
