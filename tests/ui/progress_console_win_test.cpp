// Status lines reach a console, a file or a pipe intact, and a broken output never hangs.
#include "ui/progress_console_win.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/unique_handle_win.h"
#include "test_support_win.h"

namespace velbro {
namespace {

using namespace test_support;

const std::string STATUS = "Installerer\u2026\n";

TEST(PrintStatus, WritesUtf8BytesToAFile) {
    const ScratchFolder scratch;
    const CapturedStream output(scratch.path(u"console.txt"));
    print_status("Vellumbrok VPN \u2013 installation af Cloudflare WARP\n\n");
    print_status(STATUS);
    EXPECT_EQ(output.text(),
              "Vellumbrok VPN \xE2\x80\x93 installation af Cloudflare WARP\n\nInstallerer\xE2\x80\xA6\n");
}

TEST(PrintStatus, WritesUtf8BytesToAPipe) {
    HANDLE read_end, write_end;
    ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 0));
    UniqueHandle reader(read_end), writer(write_end);
    {
        const ScopedStdHandle swap(STD_OUTPUT_HANDLE, writer.get());
        print_status(STATUS);
    }
    writer.reset();
    char buffer[64];
    DWORD got = 0;
    ASSERT_TRUE(::ReadFile(reader.get(), buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "Installerer\xE2\x80\xA6\n");
}

TEST(PrintStatus, ReturnsWhenThereIsNoOutputOrItRefusesTheText) {
    for (const HANDLE none : {HANDLE{nullptr}, INVALID_HANDLE_VALUE}) {
        const ScopedStdHandle swap(STD_OUTPUT_HANDLE, none);
        print_status(STATUS);
    }
    // A handle that exists but cannot be written: the text is dropped, the call returns.
    const ScratchFolder scratch;
    make_file(scratch.path(u"read-only.txt"), "");
    const UniqueHandle file(::CreateFileW(wide_ptr(scratch.path(u"read-only.txt")), GENERIC_READ, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    const ScopedStdHandle swap(STD_OUTPUT_HANDLE, file.get());
    print_status(STATUS);
    EXPECT_EQ(::GetFileSize(file.get(), nullptr), 0u);
}

// The text read back from the console row the cursor was on before the write.
std::u16string written_to_console(HANDLE out, std::string_view text) {
    CONSOLE_SCREEN_BUFFER_INFO before;
    ::GetConsoleScreenBufferInfo(out, &before);
    print_status(text);
    std::u16string row(80, u' ');
    DWORD got = 0;
    ::ReadConsoleOutputCharacterW(out, wide_ptr(row), 80, before.dwCursorPosition, &got);
    row.resize(got);
    return row.substr(0, row.find_last_not_of(u' ') + 1);
}

TEST(PrintStatus, ShowsTheSameCharactersOnAnyConsoleCodePage) {
    ::FreeConsole();
    const HWND window = open_progress_console();
    ASSERT_NE(window, nullptr) << "a console window needs an X display (scripts/test.sh starts one)";
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    for (UINT code_page : {437u, 65001u, 1252u}) {
        ::SetConsoleOutputCP(code_page);
        EXPECT_EQ(written_to_console(out, "Kontrollerer signatur\u2026 æøé \u2013\n"),
                  u"Kontrollerer signatur\u2026 æøé \u2013")
            << "code page " << code_page;
    }
    close_progress_console();
    EXPECT_EQ(::GetConsoleWindow(), nullptr);
}

}  // namespace
}  // namespace velbro
