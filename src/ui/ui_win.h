// The flow's dialogs and console, on Windows.
#pragma once

#include "ui/ui.h"

namespace velbro {

class WindowsUi final : public UserInterface {
public:
    int show_dialog(OwnerWindow owner, bool is_error, std::string_view main_instruction,
                    std::string_view content, std::string_view footer,
                    std::span<const DialogButton> buttons, std::uint32_t common_buttons) override;
    OwnerWindow open_progress_console() override;
    void print_status(std::string_view text) override;
    void close_progress_console() override;
};

}  // namespace velbro
