// A child for the runner's tests. By default it reports, on its standard output, the command
// line it received and the arguments the C runtime split from it; the test splits the same
// command line with CommandLineToArgvW itself, which keeps shell32 (slow to load under Wine)
// out of this child. The environment variable VELBRO_CHILD_MODE picks another behaviour:
//   exit:<n>  ends with exit code n (decimal);
//   streams   copies its standard input to its standard output and writes "err" to
//             its standard error.
// Report format, all little-endian 32-bit counts and UTF-16 units:
//   count, then per text: length, units; once for the command line (count 1), once for the
//   CRT's arguments.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

void write_all(HANDLE out, const void* data, DWORD size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(out, bytes, size, &written, nullptr) || written == 0) ::ExitProcess(91);
        bytes += written;
        size -= written;
    }
}

void write_texts(std::string& report, int count, const wchar_t* const* texts) {
    const auto put_count = [&](std::uint32_t n) {
        report.append(reinterpret_cast<const char*>(&n), 4);
    };
    put_count(static_cast<std::uint32_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::size_t length = std::wcslen(texts[i]);
        put_count(static_cast<std::uint32_t>(length));
        report.append(reinterpret_cast<const char*>(texts[i]), length * sizeof(wchar_t));
    }
}

int copy_streams() {
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(in, buffer, sizeof buffer, &read, nullptr) && read > 0)
        write_all(out, buffer, read);
    write_all(::GetStdHandle(STD_ERROR_HANDLE), "err", 3);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t mode[64] = {};
    const DWORD mode_length = ::GetEnvironmentVariableW(L"VELBRO_CHILD_MODE", mode, 64);
    if (mode_length > 0 && mode_length < 64) {
        if (std::wcsncmp(mode, L"exit:", 5) == 0)
            ::ExitProcess(std::wcstoul(mode + 5, nullptr, 10));
        if (std::wcscmp(mode, L"streams") == 0) return copy_streams();
        return 92;
    }

    std::string report;
    const wchar_t* const command_line = ::GetCommandLineW();
    write_texts(report, 1, &command_line);
    write_texts(report, argc, argv);
    write_all(::GetStdHandle(STD_OUTPUT_HANDLE), report.data(), static_cast<DWORD>(report.size()));
    return 0;
}
