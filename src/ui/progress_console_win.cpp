// Status output that shows Danish letters, the en dash and the ellipsis correctly on any
// console code page, and goes to files and pipes as UTF-8.
#include "ui/progress_console_win.h"

#include <string>

#include "platform/text.h"

namespace velbro {
namespace {

constexpr UINT UTF8_CODE_PAGE = 65001;

// Writes until everything is out. A failed write, or one that makes no progress, drops
// the rest: the status lines carry nothing a later step needs, and nothing may hang here.
template <typename Unit, typename Write>
void write_all(const Unit* data, std::size_t count, Write write) {
    while (count > 0) {
        const DWORD chunk = count > 0x10000 ? 0x10000 : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!write(data, chunk, &written) || written == 0) return;
        data += written;
        count -= written;
    }
}

}  // namespace

HWND open_progress_console() {
    ::AllocConsole();
    return ::GetConsoleWindow();
}

void print_status(std::string_view text) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;

    DWORD mode;
    if (::GetConsoleMode(out, &mode) && ::GetConsoleOutputCP() != UTF8_CODE_PAGE) {
        const std::u16string wide = to_wide(text);
        write_all(wide.data(), wide.size(), [&](const char16_t* p, DWORD n, DWORD* done) {
            return ::WriteConsoleW(out, p, n, done, nullptr) != FALSE;
        });
    } else {
        write_all(text.data(), text.size(), [&](const char* p, DWORD n, DWORD* done) {
            return ::WriteFile(out, p, n, done, nullptr) != FALSE;
        });
    }
}

void close_progress_console() { ::FreeConsole(); }

}  // namespace velbro
