// The yardstick of scripts/bench.sh: the least a program can do to show one task dialog. Built
// with the installer's flags and manifest, so that the difference is the installer's own work.
#include <windows.h>

#include <commctrl.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
    config.dwCommonButtons = TDCBF_OK_BUTTON | TDCBF_CANCEL_BUTTON;
    config.pszWindowTitle = L"Velbro Bench Dialog";
    config.pszMainInstruction = L"One task dialog";
    config.pszContent = L"Nothing else happens.";
    int pressed = 0;
    ::TaskDialogIndirect(&config, &pressed, nullptr, nullptr);
    return 0;
}
