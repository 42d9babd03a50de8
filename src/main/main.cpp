// The program's entry: one run of the installer, its result the process exit code.
#include <windows.h>

#include "main/flow.h"
#include "main/windows_steps.h"
#include "ui/windows_ui.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The program runs elevated, often from a Downloads folder: never load a DLL from
    // there or from the current directory, only from System32.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    velbro::WindowsUi ui;
    velbro::WindowsSteps steps;
    return static_cast<int>(velbro::run_installer(ui, steps));
}
