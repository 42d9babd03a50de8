// Holds Wine's desktop up on the X display while a test runs without one. A run with no
// display that found no desktop would start one without a display, and every other test
// running at that moment would then get no windows.
#include <windows.h>

#include "platform/unique_handle_win.h"

int wmain() {
    // The first window of a process makes Wine start its desktop, on this process's display.
    const HWND window = ::CreateWindowExW(0, L"STATIC", L"velbro desktop keeper", 0, 0, 0, 1, 1,
                                          nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr) return 1;
    const velbro::UniqueHandle done(
        ::CreateEventW(nullptr, TRUE, FALSE, L"velbro-e2e-desktop-done"));
    const velbro::UniqueHandle ready(
        ::CreateEventW(nullptr, TRUE, TRUE, L"velbro-e2e-desktop-ready"));
    if (!done || !ready) return 1;
    // Until the test is done, and never for long if it never says so.
    ::WaitForSingleObject(done.get(), 60000);
    ::DestroyWindow(window);
    return 0;
}
