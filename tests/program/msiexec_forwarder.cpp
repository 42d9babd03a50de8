// Stands in for System32's msiexec.exe in a test SystemRoot and passes the program's command
// line on unchanged to Wine's real msiexec, which Wine runs only from its own System32. Ends
// with that msiexec's exit code.
#include <windows.h>

#include <string>

namespace {

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
    const wchar_t* const target = L"C:\\windows\\system32\\msiexec.exe";
    std::wstring command_line = L"\"" + std::wstring(target) + L"\"" + arguments(::GetCommandLineW());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(target, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &created)) {
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
