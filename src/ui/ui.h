// The flow's view of the dialogs and the console: an opaque owner window, buttons as an id
// and a UTF-8 text. The Windows side converts at the call; tests supply a recorder.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velbro {

inline constexpr int BUTTON_INSTALL = 100;
inline constexpr int BUTTON_CANCEL = 2;              // IDCANCEL
inline constexpr std::uint32_t COMMON_BUTTON_OK = 1;  // TDCBF_OK_BUTTON

struct OwnerWindow {
    void* handle = nullptr;  // an HWND on Windows; none when null
};

struct DialogButton {
    int id;
    std::string text;
};

class UserInterface {
public:
    virtual ~UserInterface() = default;

    // Modal; the id of the button that closed the dialog, 2 when cancelled or failed.
    virtual int show_dialog(OwnerWindow owner, bool is_error, std::string_view main_instruction,
                            std::string_view content, std::string_view footer,
                            std::span<const DialogButton> buttons, std::uint32_t common_buttons) = 0;
    virtual OwnerWindow open_progress_console() = 0;
    virtual void print_status(std::string_view text) = 0;
    virtual void close_progress_console() = 0;

    // The OK-only dialog both outcomes use.
    int show_outcome_dialog(OwnerWindow owner, bool is_error, std::string_view main_instruction,
                            std::string_view content, std::string_view footer) {
        return show_dialog(owner, is_error, main_instruction, content, footer, {}, COMMON_BUTTON_OK);
    }
};

}  // namespace velbro
