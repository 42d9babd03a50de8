// The Windows side of the end-to-end tests: everything here talks to the real program through
// public Windows calls, as a user's desktop would, and gives up at a deadline instead of hanging.
#include "program/driver.h"

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
constexpr Timeout POLL = 20ms;

struct EnvironmentStringsTraits {
    using type = wchar_t*;
    static type empty() { return nullptr; }
    static bool is_valid(type p) { return p != nullptr; }
    static void close(type p) { ::FreeEnvironmentStringsW(p); }
};

struct GdiObjectTraits {
    using type = HGDIOBJ;
    static type empty() { return nullptr; }
    static bool is_valid(type h) { return h != nullptr; }
    static void close(type h) { ::DeleteObject(h); }
};

struct MemoryDcTraits {
    using type = HDC;
    static type empty() { return nullptr; }
    static bool is_valid(type h) { return h != nullptr; }
    static void close(type h) { ::DeleteDC(h); }
};

// The screen's device context, released to the desktop it came from.
struct ScreenDcTraits {
    using type = HDC;
    static type empty() { return nullptr; }
    static bool is_valid(type h) { return h != nullptr; }
    static void close(type h) { ::ReleaseDC(nullptr, h); }
};

[[noreturn]] void fail(const char* what) {
    const DWORD error = ::GetLastError();
    throw std::runtime_error(std::string(what) + " failed with error " + std::to_string(error));
}

// Calls `found` until it gives something, or gives up with an empty value at the deadline.
template <typename Found>
auto poll_until(Timeout timeout, Found found) -> decltype(found()) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto result = found()) return result;
        if (std::chrono::steady_clock::now() >= deadline) return {};
        ::Sleep(static_cast<DWORD>(POLL.count()));
    }
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
        Unique<EnvironmentStringsTraits> own(::GetEnvironmentStringsW());
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

std::u16string windows_path(std::string_view path) {
    std::u16string result = to_wide(path);
    if (!result.starts_with(u'/')) return result;
    std::ranges::replace(result, u'/', u'\\');
    return u"Z:" + result;
}

std::u16string program_path() { return windows_path(VELBRO_PROGRAM_EXE); }

RunFolders::RunFolders() {
    static int runs = 0;
    root_ =
        std::filesystem::temp_directory_path() /
        ("velbro-e2e-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++runs));
    std::filesystem::create_directories(system_root() / "Temp");
    std::filesystem::create_directories(temp());
}

RunFolders::~RunFolders() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::vector<EnvChange> RunFolders::environment() const {
    return {{u"SystemRoot", system_root().u16string()},
            {u"TMP", temp().u16string()},
            {u"TEMP", temp().u16string()}};
}

std::vector<std::string> RunFolders::left_behind(DWORD pid) const {
    std::vector<std::string> found;
    for (const std::filesystem::path& folder : {system_root() / "Temp", temp()}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
            found.push_back(to_utf8(entry.path().u16string()));
    }
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    const std::filesystem::path wine_work_dir =
        std::filesystem::path(std::wstring(windows, length)) / "Temp" /
        ("velbro-vpn-" + std::to_string(pid));
    if (std::filesystem::exists(wine_work_dir)) found.push_back(to_utf8(wine_work_dir.u16string()));
    return found;
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

std::vector<DWORD> Program::process_ids() const {
    // The list runs past the one-element array the header declares, so it is read from the
    // raw bytes: indexing that array beyond [0] is undefined and the compiler drops it.
    alignas(JOBOBJECT_BASIC_PROCESS_ID_LIST) std::byte buffer[4096];
    if (!::QueryInformationJobObject(job_.get(), JobObjectBasicProcessIdList, buffer, sizeof buffer,
                                     nullptr))
        fail("QueryInformationJobObject");
    JOBOBJECT_BASIC_PROCESS_ID_LIST header;
    std::memcpy(&header, buffer, sizeof header);
    std::vector<DWORD> result;
    for (DWORD i = 0; i < header.NumberOfProcessIdsInList; ++i) {
        ULONG_PTR id;
        std::memcpy(
            &id, buffer + offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) + i * sizeof id,
            sizeof id);
        result.push_back(static_cast<DWORD>(id));
    }
    return result;
}

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
            DWORD_PTR icon = 0;
            if (view.main_icon == nullptr &&
                ::SendMessageTimeoutW(c.window, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 5000, &icon))
                view.main_icon = reinterpret_cast<HICON>(icon);
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

bool screenshots_wanted() {
    const char* folder = std::getenv("VELBRO_SCREENSHOT_DIR");
    return folder != nullptr && *folder != '\0';
}

void save_screenshot(HWND window, std::string_view name) {
    if (!screenshots_wanted()) return;

    // Let the window finish painting before its pixels are taken from the screen.
    ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    ::Sleep(300);
    RECT rect{};
    if (!::GetWindowRect(window, &rect)) fail("GetWindowRect");
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;

    const Unique<ScreenDcTraits> screen(::GetDC(nullptr));
    const Unique<MemoryDcTraits> memory(::CreateCompatibleDC(screen.get()));
    const Unique<GdiObjectTraits> bitmap(::CreateCompatibleBitmap(screen.get(), width, height));
    if (!screen || !memory || !bitmap) fail("creating the screenshot's bitmap");
    const HGDIOBJ previous = ::SelectObject(memory.get(), bitmap.get());
    const bool copied = ::BitBlt(memory.get(), 0, 0, width, height, screen.get(), rect.left,
                                 rect.top, SRCCOPY) != FALSE;
    ::SelectObject(memory.get(), previous);
    if (!copied) fail("BitBlt");

    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;  // bottom-up, as BMP files store it
    header.biPlanes = 1;
    // 24 bits: GDI leaves the fourth byte of 32-bit pixels undefined (text has 0 there), and
    // image tools read it as transparency.
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    const std::size_t row_bytes = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    std::vector<char> pixels(row_bytes * static_cast<std::size_t>(height));
    if (::GetDIBits(memory.get(), static_cast<HBITMAP>(bitmap.get()), 0, height, pixels.data(),
                    reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS) != height)
        fail("GetDIBits");

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    const std::u16string path =
        windows_path(std::getenv("VELBRO_SCREENSHOT_DIR")) + u"\\" + to_wide(name) + u".bmp";
    const UniqueHandle out(::CreateFileW(wide_ptr(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) fail("CreateFileW for the screenshot");
    DWORD written = 0;
    if (!::WriteFile(out.get(), &file, sizeof file, &written, nullptr) ||
        !::WriteFile(out.get(), &header, sizeof header, &written, nullptr) ||
        !::WriteFile(out.get(), pixels.data(), static_cast<DWORD>(pixels.size()), &written,
                     nullptr))
        fail("WriteFile for the screenshot");
}

bool centre_on(HWND window, HWND on) {
    RECT moved{}, target{};
    if (!::GetWindowRect(window, &moved) || !::GetWindowRect(on, &target)) return false;
    const int x = target.left + ((target.right - target.left) - (moved.right - moved.left)) / 2;
    const int y = target.top + ((target.bottom - target.top) - (moved.bottom - moved.top)) / 2;
    return ::SetWindowPos(window, nullptr, x, y, 0, 0,
                          SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) != FALSE;
}

}  // namespace velbro::e2e
