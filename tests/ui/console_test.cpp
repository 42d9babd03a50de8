// Status lines reach a console, a file or a pipe intact, and a broken output never hangs.
#include "ui/progress_console.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/unique_handle.h"
#include "test_support.h"

namespace velbro {
namespace {

const std::string STATUS = "Installerer\u2026\n";

std::wstring temp_file(const wchar_t* name) {
    wchar_t dir[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + name;
}

TEST(PrintStatus, WritesUtf8BytesToAFile) {
    const std::wstring path = temp_file(L"velbro-console-test.txt");
    {
        UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        test_support::ScopedStdHandle swap(STD_OUTPUT_HANDLE, file.get());
        print_status("Vellumbrok VPN \u2013 installation af Cloudflare WARP\n\n");
        print_status(STATUS);
    }
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    char buffer[256];
    DWORD got = 0;
    ASSERT_TRUE(::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got),
              "Vellumbrok VPN \xE2\x80\x93 installation af Cloudflare WARP\n\nInstallerer\xE2\x80\xA6\n");
}

TEST(PrintStatus, WritesUtf8BytesToAPipe) {
    HANDLE read_end, write_end;
    ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 0));
    UniqueHandle reader(read_end), writer(write_end);
    {
        test_support::ScopedStdHandle swap(STD_OUTPUT_HANDLE, writer.get());
        print_status(STATUS);
    }
    writer.reset();
    char buffer[64];
    DWORD got = 0;
    ASSERT_TRUE(::ReadFile(reader.get(), buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "Installerer\xE2\x80\xA6\n");
}

TEST(PrintStatus, ReturnsWhenThereIsNoOutputOrItRefusesTheText) {
    {
        test_support::ScopedStdHandle swap(STD_OUTPUT_HANDLE, nullptr);
        print_status(STATUS);
    }
    {
        test_support::ScopedStdHandle swap(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
        print_status(STATUS);
    }
    // A handle that exists but cannot be written: the text is dropped, the call returns.
    const std::wstring path = temp_file(L"velbro-console-readonly.txt");
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS,
                                    FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(file);
    test_support::ScopedStdHandle swap(STD_OUTPUT_HANDLE, file.get());
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
