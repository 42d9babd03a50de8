// Drives the real installer from a Windows-side parent under Wine: starts it in a job with an
// environment the test chooses, finds and operates its windows, reads its console and its
// exact exit code. Every wait has a deadline, and the job ends whatever is left behind.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "test_support_win.h"

namespace velbro::e2e {

using namespace std::chrono_literals;
using Timeout = std::chrono::milliseconds;

// Long enough for a cold Wine desktop on a loaded machine; a hang still fails well inside
// CTest's limit.
inline constexpr Timeout WAIT = 30s;

// Calls `found` until it gives something, or gives up with an empty value at the deadline.
template <typename Found>
auto poll_until(Timeout timeout, Found found) -> decltype(found()) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto result = found()) return result;
        if (std::chrono::steady_clock::now() >= deadline) return {};
        ::Sleep(20);
    }
}

// The built installer as Wine sees it.
NativePath program_path();

// One change to the program's environment: a value, or none to remove the variable.
struct EnvChange {
    std::u16string name;
    std::optional<std::u16string> value;
};

// Folders of the test's own for one run, removed afterwards: a SystemRoot with an empty
// Temp, and the account's temporary folder (TMP and TEMP).
class RunFolders : public test_support::ScratchFolder {
public:
    RunFolders();

    NativePath system_root() const { return path(u"windows"); }
    NativePath temp() const { return path(u"tmp"); }

    // SystemRoot, TMP and TEMP pointing into these folders.
    std::vector<EnvChange> environment() const;

    // The names of what a run left in SystemRoot's Temp and in the temporary folder, plus the
    // work directory the run `pid` would have made under Wine's own Windows folder.
    std::vector<std::string> left_behind(DWORD pid) const;
};

// Makes the run's System32 hold our stand-in curl.exe and Wine's real msiexec.exe; returns the run's environment, in which curl is told to write the test package
// `package` (none: nothing) and end with `curl_exit`.
std::vector<EnvChange> package_run_environment(const RunFolders& folders, const char16_t* package,
                                               const char16_t* curl_exit);

struct Button {
    int id;
    std::string text;
    bool is_default;

    bool operator==(const Button&) const = default;
    friend void PrintTo(const Button& b, std::ostream* out) {
        *out << "{" << b.id << ", \"" << b.text << "\"" << (b.is_default ? ", default}" : "}");
    }
};

// What a task dialog shows, read from its child windows (Wine builds it of ordinary controls).
struct TaskDialogView {
    std::string title;
    std::string main_instruction;
    std::string content;
    std::string footer;
    std::vector<Button> buttons;  // left to right
    // What the screen shows: "program" (icon group 1 of the program file), "error" (the
    // system's error icon) or "neither".
    std::string icon;
};

// The console as the program left it: the rows up to the cursor, trailing blanks cut, joined
// with line feeds, then the cursor's row up to the cursor. A row that wrapped reads as two lines.
struct ConsoleView {
    HWND window = nullptr;
    std::string text;
    bool blank_after_cursor = false;
};

class Program {
public:
    // Starts `exe` suspended inside a job that kills it and its children when this object
    // goes, gives it the test's own environment with `environment` applied, then lets it run.
    // Throws std::runtime_error when it cannot be started.
    static Program start(const std::vector<EnvChange>& environment,
                         const std::u16string& exe = program_path());

    DWORD pid() const { return pid_; }

    // The ids of the processes alive in the job, the program's own included.
    std::vector<DWORD> process_ids() const;
    // How many processes ever ran in the job, the program included.
    DWORD processes_started() const;

    // The exact 32-bit exit code, or none when the program is still running at the deadline.
    std::optional<DWORD> wait_for_exit(Timeout timeout = WAIT) const;

    // A visible task dialog of the program with the installer's title, other than `not_this`;
    // null when none came before the deadline.
    HWND wait_for_dialog(HWND not_this = nullptr, Timeout timeout = WAIT) const;

    // Visible top-level windows of the processes the program started (a child's error box,
    // say), its console window left out.
    std::vector<HWND> windows_of_children() const;

    // Attaches to the program's console for the time of the read; none when it has none.
    std::optional<ConsoleView> read_console() const;

private:
    Program() = default;

    UniqueHandle job_;
    UniqueHandle process_;
    DWORD pid_ = 0;
};

TaskDialogView read_task_dialog(HWND dialog);

// TDM_CLICK_BUTTON, as if the button with `id` had been pressed.
bool click_button(HWND dialog, int id);

// A real key press: `window` is brought to the foreground, then the key goes through SendInput.
bool press_key(HWND window, WORD virtual_key);

// The close box: WM_SYSCOMMAND SC_CLOSE.
bool close_with_close_box(HWND window);

// A part of the screen, pixel by pixel, row by row from the top.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<COLORREF> colours;
    bool operator==(const Pixels&) const = default;
};
Pixels screen_pixels(const RECT& area);

}  // namespace velbro::e2e
