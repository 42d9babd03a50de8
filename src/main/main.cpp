// The program's entry: one run of the installer, its result the process exit code.
#include <windows.h>

#include <cstdlib>

#include "main/flow.h"
#include "main/windows_steps.h"
#include "ui/windows_ui.h"

// The C++ runtime's default terminate handler prints a demangled message and drags 37 KB
// of demangler into the program. A GUI program has nowhere to print it; just abort.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The program runs elevated, often from a Downloads folder: never load a DLL from
    // there or from the current directory, only from System32.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    velbro::WindowsUi ui;
    velbro::WindowsSteps steps;
    return static_cast<int>(velbro::run_installer(ui, steps));
}
