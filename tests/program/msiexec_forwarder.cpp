// Stands in for System32's msiexec.exe in a test SystemRoot and passes the program's command
// line on unchanged to another msiexec: Wine's real one by default, or the one named by
// VELBRO_FORWARD_TO (our stub). Ends with that msiexec's exit code.
// VELBRO_MSIEXEC_EXIT becomes the stub's VELBRO_STUB_EXIT: the stub curl.exe reads that name
// too, and must end with 0 in the same run.
#include <windows.h>

#include <string>

namespace {

std::wstring environment(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    const DWORD length =
        ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

// The command line after the program name, by the rule CreateProcess uses to find that name.
const wchar_t* arguments(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"') ++line;
        if (*line == L'"') ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
    }
    return line;
}

}  // namespace

int wmain() {
    std::wstring target = environment(L"VELBRO_FORWARD_TO");
    if (target.empty()) target = L"C:\\windows\\system32\\msiexec.exe";
    if (const std::wstring code = environment(L"VELBRO_MSIEXEC_EXIT"); !code.empty()) {
        ::SetEnvironmentVariableW(L"VELBRO_STUB_EXIT", code.c_str());
    }
    std::wstring command_line = L"\"" + target + L"\"" + arguments(::GetCommandLineW());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(target.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &created)) {
        return 254;
    }
    // No deadline of its own: the test's job ends this process and its child at the test's.
    ::WaitForSingleObject(created.hProcess, INFINITE);
    DWORD code = 254;
    ::GetExitCodeProcess(created.hProcess, &code);
    ::CloseHandle(created.hThread);
    ::CloseHandle(created.hProcess);
    return static_cast<int>(code);
}
