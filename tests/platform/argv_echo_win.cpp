// A child for the runner's tests. By default it reports, on its standard output, the command
// line it received and the arguments the C runtime split from it, as UTF-16 units: the command
// line, then each argument after a U+0000 (neither can hold one). The test splits the same
// command line with CommandLineToArgvW itself, which keeps shell32 (slow to load under Wine)
// out of this child. The environment variable VELBRO_CHILD_MODE picks another behaviour:
//   exit:<n>  ends with exit code n (decimal);
//   streams   copies its standard input to its standard output and writes "err" to
//             its standard error.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "fixtures/stand_in.h"

using velbro::stand_in::write_all;

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = velbro::stand_in::environment(L"VELBRO_CHILD_MODE");
    if (mode.starts_with(L"exit:")) ::ExitProcess(std::wcstoul(mode.c_str() + 5, nullptr, 10));
    if (mode == L"streams") {
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
            write_all(::GetStdHandle(STD_OUTPUT_HANDLE), buffer, read);
        }
        write_all(::GetStdHandle(STD_ERROR_HANDLE), "err", 3);
        return 0;
    }
    if (!mode.empty()) return 92;

    std::wstring report = ::GetCommandLineW();
    for (int i = 0; i < argc; ++i) (report += L'\0') += argv[i];
    write_all(::GetStdHandle(STD_OUTPUT_HANDLE), report.data(), report.size() * sizeof(wchar_t));
    return 0;
}
