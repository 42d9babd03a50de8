// Takes the README's pictures of the real program under Wine, started as an employee starts it:
// from C:\Users\Public\Downloads, so the console's title bar shows that path whatever checkout
// the pictures are taken from. A run without SystemRoot gives the confirmation and the failure
// dialog; a run that Wine's msiexec installs gives the success dialog and the console behind it.
// Each picture is a 24-bit BMP file in the build folder's "screenshots"; tools/screenshots.sh
// turns them into PNG files.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "end_to_end/driver.h"

namespace velbro::e2e {
namespace {

[[noreturn]] void give_up(const char* what) {
    std::fprintf(stderr, "screenshots: %s (error %lu)\n", what, ::GetLastError());
    std::exit(1);
}

// The window's area of the screen as <folder>\<name>.bmp.
void save(const NativePath& folder, HWND window, const std::u16string& name) {
    // Let the window finish painting before its pixels are taken from the screen.
    ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    ::Sleep(300);
    RECT rect{};
    if (!::GetWindowRect(window, &rect)) give_up("GetWindowRect");
    const Pixels pixels = screen_pixels(rect);

    // Rows bottom-up, as BMP files store them, of blue, green and red, each row padded to
    // four bytes. (GDI leaves the fourth byte of 32-bit pixels undefined, and image tools read
    // it as transparency.)
    const std::size_t width = static_cast<std::size_t>(pixels.width), height = static_cast<std::size_t>(pixels.height);
    const std::size_t row_bytes = (width * 3 + 3) & ~std::size_t{3};
    std::string rows(row_bytes * height, '\0');
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            const COLORREF colour = pixels.colours[y * width + x];
            char* pixel = rows.data() + (height - 1 - y) * row_bytes + x * 3;
            pixel[0] = static_cast<char>(GetBValue(colour));
            pixel[1] = static_cast<char>(GetGValue(colour));
            pixel[2] = static_cast<char>(GetRValue(colour));
        }
    }
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = pixels.width;
    header.biHeight = pixels.height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + rows.size());
    const std::string bytes = std::string(reinterpret_cast<const char*>(&file), sizeof file) +
                              std::string(reinterpret_cast<const char*>(&header), sizeof header) + rows;

    const UniqueHandle out(::CreateFileW(wide_ptr(folder + u"\\" + name + u".bmp"), GENERIC_WRITE, 0,
                                         nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!out || !::WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        give_up("writing a picture");
    }
}

// Confirms and returns the outcome dialog.
HWND confirm(const Program& program, const NativePath& folder, bool save_confirmation) {
    const HWND confirmation = program.wait_for_dialog();
    if (confirmation == nullptr) give_up("no confirmation dialog");
    if (save_confirmation) save(folder, confirmation, u"confirmation");
    click_button(confirmation, 100);
    // Long enough for Wine's real msiexec on a loaded machine.
    const HWND outcome = program.wait_for_dialog(confirmation, 120s);
    if (outcome == nullptr) give_up("no outcome dialog");
    return outcome;
}

void close(const Program& program, HWND dialog) {
    click_button(dialog, IDOK);
    if (!program.wait_for_exit()) give_up("the program did not end");
}

}  // namespace
}  // namespace velbro::e2e

int wmain() {
    using namespace velbro;
    using namespace velbro::e2e;
    const NativePath out = test_support::build_path(u"screenshots");
    ::CreateDirectoryW(wide_ptr(out), nullptr);
    // Where an employee's browser puts it.
    const NativePath exe = u"C:\\Users\\Public\\Downloads\\velbro-vpn.exe";
    ::CreateDirectoryW(L"C:\\Users\\Public\\Downloads", nullptr);
    if (!::CopyFileW(wide_ptr(program_path()), wide_ptr(exe), FALSE)) give_up("copying the program");

    {
        const RunFolders folders;
        std::vector<EnvChange> env = folders.environment();
        env.push_back({u"SystemRoot", std::nullopt});
        const Program program = Program::start(env, exe);
        const HWND failure = confirm(program, out, true);
        save(out, failure, u"failure");
        close(program, failure);
    }
    test_support::uninstall(test_support::INSTALL_OK);
    {
        const RunFolders folders;
        const Program program = Program::start(package_run_environment(folders, u"install-ok.msi", u"0"), exe);
        const HWND success = confirm(program, out, false);
        save(out, success, u"success");
        // Centred on the console, as Windows places an owned task dialog (Wine leaves it where
        // it opened), so the picture shows what a Windows user sees.
        const std::optional<ConsoleView> console = program.read_console();
        RECT dialog{}, behind{};
        if (!console || !::GetWindowRect(success, &dialog) || !::GetWindowRect(console->window, &behind)) {
            give_up("no console");
        }
        ::SetWindowPos(success, nullptr, (behind.left + behind.right - (dialog.right - dialog.left)) / 2,
                       (behind.top + behind.bottom - (dialog.bottom - dialog.top)) / 2, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        save(out, console->window, u"success-console");
        close(program, success);
    }
    test_support::uninstall(test_support::INSTALL_OK);
    ::DeleteFileW(wide_ptr(exe));
    return 0;
}
