// The program's entry: one run of the installer, its result the process exit code.
#include <windows.h>

#include <cstdlib>

#include "main/flow.h"
#include "main/steps_win.h"
#include "ui/ui_win.h"

// The C++ runtime's default terminate handler prints a demangled message and drags 37 KB
// of demangler into the program. A GUI program has nowhere to print it; just abort.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// Documented as 16; MinGW's enumeration must agree.
static_assert(ProcessRedirectionTrustPolicy == 16);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before any file is touched: never follow a junction that a non-administrator made, such
    // as one planted in the Windows Temp directory. Windows before 11 22H2 (and Wine) refuses
    // the policy; the work area's own checks hold there too, so the refusal is let be.
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY redirection{};
    redirection.EnforceRedirectionTrust = 1;
    ::SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &redirection, sizeof redirection);

    // The program runs elevated, often from a Downloads folder: never load a DLL from
    // there or from the current directory, only from System32.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    velbro::WindowsUi ui;
    velbro::WindowsSteps steps;
    return static_cast<int>(velbro::run_installer(ui, steps));
}
