// Windows side of scripts/bench.sh: starts programs, times each from CreateProcessW until its
// top-level window with the given title is visible, reads the process's peak working set at
// that moment, then closes the window (or ends the process).
//   bench_timer RUNS EXE TITLE [EXE TITLE...]
// Prints one line per run, the programs taking turns so that a slow moment of the machine hits
// them alike: "<index> <milliseconds> <peak working set bytes>". Exit code 2 on any failure.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/unique_handle_win.h"

namespace {

using velbro::UniqueHandle;

struct Search {
    DWORD process_id;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t title[256] = {};
    ::GetWindowTextW(window, title, 256);
    if (owner == search->process_id && ::IsWindowVisible(window) &&
        std::wcscmp(title, search->title) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

bool run_once(int index, const wchar_t* exe, const wchar_t* title) {
    std::wstring command = L"\"" + std::wstring(exe) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    LARGE_INTEGER frequency, start, shown;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    if (!::CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info)) {
        std::printf("CreateProcessW failed (os error %lu)\n", ::GetLastError());
        return false;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);

    Search search{info.dwProcessId, title, nullptr};
    const ULONGLONG give_up = ::GetTickCount64() + 60000;
    while (!search.found) {
        ::EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
        if (search.found) break;
        if (::GetTickCount64() > give_up ||
            ::WaitForSingleObject(process.get(), 1) == WAIT_OBJECT_0) {
            std::printf("no window titled \"%ls\" appeared\n", title);
            return false;
        }
    }
    ::QueryPerformanceCounter(&shown);

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (!::GetProcessMemoryInfo(process.get(), &memory, sizeof memory)) {
        std::printf("GetProcessMemoryInfo failed (os error %lu)\n", ::GetLastError());
        return false;
    }

    // Closing the window cancels the dialog, and a cancelled run ends at once. No job object:
    // Wine's desktop process may start as a child of the first program, and must outlive it.
    ::PostMessageW(search.found, WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(process.get(), 5000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
    }

    const double ms = 1000.0 * static_cast<double>(shown.QuadPart - start.QuadPart) /
                      static_cast<double>(frequency.QuadPart);
    std::printf("%d %.1f %llu\n", index, ms,
                static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    std::fflush(stdout);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || argc % 2 != 0) {
        std::printf("usage: bench_timer RUNS EXE TITLE [EXE TITLE...]\n");
        return 2;
    }
    const int runs = std::wcstol(argv[1], nullptr, 10);
    for (int run = 0; run < runs; ++run) {
        for (int i = 2; i + 1 < argc; i += 2) {
            if (!run_once((i - 2) / 2, argv[i], argv[i + 1])) return 2;
        }
    }
    return 0;
}
