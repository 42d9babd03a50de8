// The Windows side of the end-to-end tests: everything here talks to the real program through
// public Windows calls, as a user's desktop would, and gives up at a deadline instead of hanging.
#include "end_to_end/driver.h"

#include <commctrl.h>
#include <winternl.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <stdexcept>

#include "platform/text.h"

namespace velbro::e2e {
namespace {

constexpr std::u16string_view DIALOG_CLASS = u"#32770";
constexpr std::u16string_view DIALOG_TITLE = u"Vellumbrok VPN";

// The owner of a value that is empty when null and released by `release`.
template <typename T, auto release>
struct ReleasedBy {
    using type = T;
    static type empty() { return nullptr; }
    static bool is_valid(type value) { return value != nullptr; }
    static void close(type value) { release(value); }
};
using EnvironmentStrings = Unique<ReleasedBy<wchar_t*, ::FreeEnvironmentStringsW>>;
using GdiObject = Unique<ReleasedBy<HGDIOBJ, ::DeleteObject>>;
using MemoryDc = Unique<ReleasedBy<HDC, ::DeleteDC>>;
// The screen's device context, released to the desktop it came from.
using ScreenDc = Unique<ReleasedBy<HDC, [](HDC dc) { ::ReleaseDC(nullptr, dc); }>>;
using Icon = Unique<ReleasedBy<HICON, ::DestroyIcon>>;

[[noreturn]] void fail(const char* what) {
    const DWORD error = ::GetLastError();
    throw std::runtime_error(std::string(what) + " failed with error " + std::to_string(error));
}

std::u16string window_text(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
    const int got = ::GetWindowTextW(window, wide_ptr(text), length + 1);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

std::u16string class_name(HWND window) {
    wchar_t name[256];
    const int got = ::GetClassNameW(window, name, 256);
    return std::u16string(reinterpret_cast<const char16_t*>(name), got > 0 ? got : 0);
}

std::vector<HWND> visible_top_level_windows(const std::vector<DWORD>& pids) {
    struct Search {
        const std::vector<DWORD>* pids;
        std::vector<HWND> found;
    } search{&pids, {}};
    ::EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(param);
            DWORD pid = 0;
            ::GetWindowThreadProcessId(window, &pid);
            if (::IsWindowVisible(window) && std::ranges::find(*s.pids, pid) != s.pids->end())
                s.found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool same_name(std::u16string_view entry, std::u16string_view name) {
    // Entries such as "=C:=C:\dir" begin with '=': the name ends at the first '=' after that.
    const std::u16string_view entry_name = entry.substr(0, entry.find(u'=', 1));
    return ::CompareStringOrdinal(reinterpret_cast<const wchar_t*>(entry_name.data()),
                                  static_cast<int>(entry_name.size()),
                                  reinterpret_cast<const wchar_t*>(name.data()),
                                  static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

// The test's own environment with the changes applied, as a block of NUL-terminated entries
// ended by one more NUL.
std::u16string environment_block(const std::vector<EnvChange>& changes) {
    std::vector<std::u16string> entries;
    {
        EnvironmentStrings own(::GetEnvironmentStringsW());
        if (!own) fail("GetEnvironmentStringsW");
        for (const wchar_t* entry = own.get(); *entry != L'\0'; entry += std::wcslen(entry) + 1)
            entries.emplace_back(reinterpret_cast<const char16_t*>(entry));
    }
    for (const EnvChange& change : changes) {
        std::erase_if(entries, [&](const std::u16string& e) { return same_name(e, change.name); });
        if (change.value) entries.push_back(change.name + u"=" + *change.value);
    }
    std::u16string block;
    for (const std::u16string& entry : entries) block += entry + u'\0';
    block += u'\0';
    return block;
}

// Wine puts its own SystemRoot into every new process whatever block the parent passes, so
// the block is written again into the suspended process, where the process reads it:
// PEB.ProcessParameters->Environment and EnvironmentSize (x64 offsets).
void replace_environment(HANDLE process, const std::u16string& block) {
    static_assert(sizeof(void*) == 8, "the offsets below are those of x64");
    constexpr std::size_t PEB_PROCESS_PARAMETERS = 0x20;
    constexpr std::size_t PARAMETERS_ENVIRONMENT = 0x80;
    constexpr std::size_t PARAMETERS_ENVIRONMENT_SIZE = 0x3F0;

    PROCESS_BASIC_INFORMATION basic{};
    if (::NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic,
                                    nullptr) != 0)
        throw std::runtime_error("NtQueryInformationProcess failed");
    char* parameters = nullptr;
    if (!::ReadProcessMemory(
            process, reinterpret_cast<const char*>(basic.PebBaseAddress) + PEB_PROCESS_PARAMETERS,
            &parameters, sizeof parameters, nullptr))
        fail("ReadProcessMemory");

    const SIZE_T bytes = block.size() * sizeof(char16_t);
    void* remote =
        ::VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote == nullptr) fail("VirtualAllocEx");
    if (!::WriteProcessMemory(process, remote, block.data(), bytes, nullptr) ||
        !::WriteProcessMemory(process, parameters + PARAMETERS_ENVIRONMENT, &remote, sizeof remote,
                              nullptr) ||
        !::WriteProcessMemory(process, parameters + PARAMETERS_ENVIRONMENT_SIZE, &bytes,
                              sizeof bytes, nullptr))
        fail("WriteProcessMemory");
}

}  // namespace

NativePath program_path() { return test_support::build_path(u"velbro-vpn.exe"); }

RunFolders::RunFolders() {
    test_support::make_dir(system_root());
    test_support::make_dir(system_root() + u"\\Temp");
    test_support::make_dir(temp());
}

std::vector<EnvChange> RunFolders::environment() const {
    return {{u"SystemRoot", system_root()}, {u"TMP", temp()}, {u"TEMP", temp()}};
}

std::vector<std::string> RunFolders::left_behind(DWORD pid) const {
    std::vector<std::string> found = test_support::list_dir(system_root() + u"\\Temp");
    for (const std::string& name : test_support::list_dir(temp())) found.push_back(name);
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    const NativePath wine_work_dir = NativePath(reinterpret_cast<const char16_t*>(windows), length) +
                                     u"\\Temp\\velbro-vpn-" + to_wide(std::to_string(pid));
    if (test_support::exists(wine_work_dir)) found.push_back(to_utf8(wine_work_dir));
    return found;
}

std::vector<EnvChange> package_run_environment(const RunFolders& folders, const char16_t* package,
                                               const char16_t* curl_exit) {
    const NativePath system32 = folders.system_root() + u"\\System32";
    test_support::make_dir(system32);
    test_support::copy_file(test_support::stub_system32() + u"\\curl.exe", system32 + u"\\curl.exe");
    // A copy of Wine's own msiexec, which runs as well from any folder.
    test_support::copy_file(u"C:\\windows\\system32\\msiexec.exe", system32 + u"\\msiexec.exe");
    // Every stub variable is set or removed: the test's own environment may hold some. The
    // package's path holds the program's process id, unknown until it runs, so curl is not
    // told the exact arguments; the steps' own tests check those.
    std::vector<EnvChange> env = folders.environment();
    env.push_back({u"VELBRO_STUB_DOWNLOAD", package ? std::optional(test_support::fixture_package(package))
                                                    : std::nullopt});
    env.push_back({u"VELBRO_STUB_EXIT", curl_exit});
    env.push_back({u"VELBRO_STUB_ARGS", std::nullopt});
    return env;
}

Program Program::start(const std::vector<EnvChange>& environment, const std::u16string& exe) {
    // The first window of a Wine process starts Wine's desktop process when none runs. Started
    // by the program it would belong to the job and die with it; started here it stays up.
    ::GetDesktopWindow();

    Program program;
    program.job_.reset(::CreateJobObjectW(nullptr, nullptr));
    if (!program.job_) fail("CreateJobObjectW");
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(program.job_.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits))
        fail("SetInformationJobObject");

    std::u16string block = environment_block(environment);
    std::u16string command_line = u"\"" + exe + u"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    // Detached, as Explorer starts a GUI program: there is no console to inherit. Under Wine
    // the program would otherwise inherit this process's pseudo-console and its own
    // AllocConsole would fail.
    if (!::CreateProcessW(wide_ptr(exe), wide_ptr(command_line), nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS,
                          block.data(), nullptr, &startup, &created))
        fail("CreateProcessW");
    program.process_.reset(created.hProcess);
    const UniqueHandle thread(created.hThread);
    program.pid_ = created.dwProcessId;

    if (!::AssignProcessToJobObject(program.job_.get(), program.process_.get())) {
        const DWORD error = ::GetLastError();
        ::TerminateProcess(program.process_.get(), 1);
        ::SetLastError(error);
        fail("AssignProcessToJobObject");
    }
    // From here on a failure leaves nothing behind: the job ends the suspended process.
    replace_environment(program.process_.get(), block);
    if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) fail("ResumeThread");
    return program;
}

std::vector<DWORD> Program::process_ids() const { return test_support::processes_in(job_.get()); }

DWORD Program::processes_started() const {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!::QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation, &accounting,
                                     sizeof accounting, nullptr))
        fail("QueryInformationJobObject");
    return accounting.TotalProcesses;
}

std::optional<DWORD> Program::wait_for_exit(Timeout timeout) const {
    if (::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_.get(), &code)) fail("GetExitCodeProcess");
    return code;
}

HWND Program::wait_for_dialog(HWND not_this, Timeout timeout) const {
    return poll_until(timeout, [&]() -> HWND {
        for (HWND window : visible_top_level_windows({pid_})) {
            if (window != not_this && class_name(window) == DIALOG_CLASS &&
                window_text(window) == DIALOG_TITLE)
                return window;
        }
        return nullptr;
    });
}

std::vector<HWND> Program::windows_of_children() const {
    std::vector<DWORD> children = process_ids();
    std::erase(children, pid_);
    std::vector<HWND> windows = visible_top_level_windows(children);
    // The console window belongs to Wine's console host, a child of the program too.
    std::erase_if(windows, [](HWND w) { return class_name(w) == u"WineConsoleClass"; });
    return windows;
}

namespace {

// What the console attached to this process shows, from its first row to the cursor.
std::optional<ConsoleView> read_attached_console() {
    const UniqueHandle output(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!output || !::GetConsoleScreenBufferInfo(output.get(), &info)) return std::nullopt;
    const auto width = static_cast<std::size_t>(info.dwSize.X);
    const auto cursor_row = static_cast<std::size_t>(info.dwCursorPosition.Y);
    const auto cursor = cursor_row * width + static_cast<std::size_t>(info.dwCursorPosition.X);
    std::u16string cells(width * static_cast<std::size_t>(info.dwSize.Y), u' ');
    DWORD read = 0;
    if (!::ReadConsoleOutputCharacterW(output.get(), wide_ptr(cells),
                                       static_cast<DWORD>(cells.size()), COORD{0, 0}, &read))
        return std::nullopt;

    std::u16string text;
    for (std::size_t row = 0; row < cursor_row; ++row) {
        std::u16string_view line(cells.data() + row * width, width);
        line = line.substr(0, line.find_last_not_of(u' ') + 1);
        text.append(line).push_back(u'\n');
    }
    text.append(cells, cursor_row * width, cursor - cursor_row * width);
    return ConsoleView{::GetConsoleWindow(), to_utf8(text),
                       cells.find_first_not_of(u' ', cursor) == std::u16string::npos};
}

}  // namespace

std::optional<ConsoleView> Program::read_console() const {
    // Attaching replaces this process's standard handles; the test's output must keep going
    // where it went. A Wine process started from a shell holds a pseudo-console that
    // AttachConsole refuses to replace, so it is let go first.
    const HANDLE saved[3] = {::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
                             ::GetStdHandle(STD_ERROR_HANDLE)};
    ::FreeConsole();
    std::optional<ConsoleView> view;
    if (::AttachConsole(pid_)) {
        view = read_attached_console();
        ::FreeConsole();
    }
    ::SetStdHandle(STD_INPUT_HANDLE, saved[0]);
    ::SetStdHandle(STD_OUTPUT_HANDLE, saved[1]);
    ::SetStdHandle(STD_ERROR_HANDLE, saved[2]);
    return view;
}

namespace {

// A bitmap of the screen's kind, drawn on by `draw` (given it and the screen), then read.
Pixels drawn_pixels(int width, int height, const std::function<void(HDC bitmap, HDC screen)>& draw) {
    Pixels pixels{width, height, {}};
    const ScreenDc screen(::GetDC(nullptr));
    const MemoryDc memory(::CreateCompatibleDC(screen.get()));
    const GdiObject bitmap(::CreateCompatibleBitmap(screen.get(), width, height));
    if (!screen || !memory || !bitmap) fail("making a bitmap");
    const HGDIOBJ previous = ::SelectObject(memory.get(), bitmap.get());
    draw(memory.get(), screen.get());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) pixels.colours.push_back(::GetPixel(memory.get(), x, y));
    }
    ::SelectObject(memory.get(), previous);
    return pixels;
}

// Which icon the icon control shows on the screen: it is compared with the program's own icon
// (group 1 of the program file) and the system's error icon, each drawn on the dialog's
// background at the control's size.
std::string shown_icon(HWND control) {
    RECT area{};
    ::GetWindowRect(control, &area);
    const int width = area.right - area.left, height = area.bottom - area.top;
    const UniqueLibrary program(::LoadLibraryExW(wide_ptr(program_path()), nullptr,
                                                 LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE));
    const Icon own(static_cast<HICON>(
        ::LoadImageW(program.get(), MAKEINTRESOURCEW(1), IMAGE_ICON, width, height, 0)));
    // Shared: the system owns it.
    const auto error = static_cast<HICON>(::LoadImageW(nullptr, IDI_ERROR, IMAGE_ICON, width, height, LR_SHARED));
    const auto drawn = [&](HICON icon) {
        return drawn_pixels(width, height, [&](HDC bitmap, HDC) {
            const RECT all{0, 0, width, height};
            ::FillRect(bitmap, &all, ::GetSysColorBrush(COLOR_BTNFACE));
            ::DrawIconEx(bitmap, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
        });
    };
    const Pixels program_icon = drawn(own.get()), error_icon = drawn(error);
    // Until the dialog has painted itself.
    std::string icon;
    poll_until(5s, [&] {
        const Pixels shown = screen_pixels(area);
        icon = shown == program_icon ? "program" : shown == error_icon ? "error" : "neither";
        return icon != "neither";
    });
    return icon;
}

}  // namespace

Pixels screen_pixels(const RECT& area) {
    return drawn_pixels(area.right - area.left, area.bottom - area.top, [&](HDC bitmap, HDC screen) {
        if (!::BitBlt(bitmap, 0, 0, area.right - area.left, area.bottom - area.top, screen, area.left,
                      area.top, SRCCOPY)) {
            fail("BitBlt");
        }
    });
}

TaskDialogView read_task_dialog(HWND dialog) {
    struct Control {
        HWND window;
        RECT rect;
        std::u16string class_name;
        LONG style;
    };
    std::vector<Control> controls;
    ::EnumChildWindows(
        dialog,
        [](HWND window, LPARAM param) -> BOOL {
            Control control{window, {}, class_name(window), ::GetWindowLongW(window, GWL_STYLE)};
            ::GetWindowRect(window, &control.rect);
            reinterpret_cast<std::vector<Control>*>(param)->push_back(control);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&controls));
    std::ranges::sort(controls, [](const Control& a, const Control& b) {
        return a.rect.top != b.rect.top ? a.rect.top < b.rect.top : a.rect.left < b.rect.left;
    });

    TaskDialogView view;
    view.title = to_utf8(window_text(dialog));
    LONG buttons_top = LONG_MAX;
    std::vector<const Control*> buttons;
    for (const Control& c : controls) {
        if (c.class_name != u"Button") continue;
        buttons.push_back(&c);
        buttons_top = std::min(buttons_top, c.rect.top);
    }
    std::ranges::sort(
        buttons, [](const Control* a, const Control* b) { return a->rect.left < b->rect.left; });
    for (const Control* b : buttons) {
        view.buttons.push_back(Button{::GetDlgCtrlID(b->window), to_utf8(window_text(b->window)),
                                      (b->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON});
    }

    // Wine's layout, top to bottom: icon and main instruction, content, buttons, footer.
    std::vector<std::string> above;
    for (const Control& c : controls) {
        if (c.class_name != u"Static") continue;
        if ((c.style & SS_TYPEMASK) == SS_ICON) {
            if (view.icon.empty()) view.icon = shown_icon(c.window);
        } else if (c.rect.top < buttons_top) {
            above.push_back(to_utf8(window_text(c.window)));
        } else if (view.footer.empty()) {
            view.footer = to_utf8(window_text(c.window));
        }
    }
    if (above.size() > 0) view.main_instruction = above[0];
    if (above.size() > 1) view.content = above[1];
    return view;
}

bool click_button(HWND dialog, int id) {
    return ::PostMessageW(dialog, TDM_CLICK_BUTTON, static_cast<WPARAM>(id), 0) != FALSE;
}

bool press_key(HWND window, WORD virtual_key) {
    // With no window manager, a key goes to whichever window Wine holds in the foreground.
    const bool foreground = poll_until(5s, [&] {
        ::SetForegroundWindow(window);
        return ::GetForegroundWindow() == window;
    });
    if (!foreground) return false;
    INPUT keys[2]{};
    keys[0].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = virtual_key;
    keys[1] = keys[0];
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    return ::SendInput(2, keys, sizeof(INPUT)) == 2;
}

bool close_with_close_box(HWND window) {
    return ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
}

}  // namespace velbro::e2e
