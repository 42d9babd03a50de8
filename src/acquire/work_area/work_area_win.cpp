// Creating the work area and removing it, with Windows' own calls; how it is removed is
// decided in tree_removal.cpp, how it is made in work_dir_creation.cpp: anything that already
// stands at the work directory's name ends the step and is left as it is. When the temporary
// directory cannot be found, the step removes the work directory again itself, so a failed
// step leaves nothing for the flow to remove.
#include "acquire/work_area/work_area_win.h"

#include <optional>
#include <string>

#include "acquire/work_area/file_operations_win.h"
#include "acquire/work_area/tree_removal.h"
#include "acquire/work_area/work_area_paths.h"
#include "acquire/work_area/work_dir_creation.h"

namespace velbro {
namespace {

constexpr DWORD FIRST_BUFFER_UNITS = 512;
constexpr DWORD MAX_BUFFER_UNITS = 0xFFFFFFFF;

std::optional<NativePath> read_system_root() {
    DWORD size = FIRST_BUFFER_UNITS;
    for (;;) {
        NativePath buffer(size, u'\0');
        // An empty value also gives 0; only an error code tells the two apart.
        ::SetLastError(ERROR_SUCCESS);
        const DWORD length = ::GetEnvironmentVariableW(L"SystemRoot", wide_ptr(buffer), size);
        if (length == 0 && ::GetLastError() != ERROR_SUCCESS) return std::nullopt;
        if (length < size) {
            buffer.resize(length);
            return buffer;
        }
        // Too small: the answer is the size needed, terminating NUL included.
        size = length > size ? length : size + 1;
    }
}

TempPathFunction look_up_temp_path_function() {
    // GetTempPath2W gives a SYSTEM process its own private directory; older kernel32 lacks it
    // and MinGW has no import for it, so it is looked up.
    if (const HMODULE kernel32 = ::GetModuleHandleA("kernel32")) {  // not owned: always loaded
        if (const FARPROC found = ::GetProcAddress(kernel32, "GetTempPath2W")) {
            // Through void(*)(): GCC accepts that as a cast between unrelated function types.
            return reinterpret_cast<TempPathFunction>(reinterpret_cast<void (*)()>(found));
        }
    }
    return ::GetTempPathW;
}

// Chosen at the first query and kept for the rest of the process.
TempPathFunction g_temp_path_function = nullptr;

InstallError cannot_create(const NativePath& work_dir, DWORD error) {
    return InstallError{"kan ikke oprette " + to_utf8(work_dir) + ": " +
                        display_text(SystemError::from_code(error))};
}

}  // namespace

void set_temp_path_function(TempPathFunction query) { g_temp_path_function = query; }

Result<NativePath, SystemError> query_temp_dir() {
    if (g_temp_path_function == nullptr) g_temp_path_function = look_up_temp_path_function();
    DWORD size = FIRST_BUFFER_UNITS;
    for (;;) {
        NativePath buffer(size, u'\0');
        ::SetLastError(ERROR_SUCCESS);
        const DWORD length = g_temp_path_function(size, wide_ptr(buffer));
        const DWORD error = ::GetLastError();
        if (length == 0 && error != ERROR_SUCCESS) return SystemError::from_code(error);
        if (length < size) {
            buffer.resize(length);
            return buffer;
        }
        if (length > size) {
            size = length;  // the size needed, terminating NUL included
        } else if (error == ERROR_INSUFFICIENT_BUFFER && size < MAX_BUFFER_UNITS) {
            size = size > MAX_BUFFER_UNITS / 2 ? MAX_BUFFER_UNITS : size * 2;
        } else {
            return SystemError::fixed("ubrugeligt svar fra systemet");
        }
    }
}

Result<WorkPaths> prepare_work_area() {
    const std::optional<NativePath> system_root = read_system_root();
    if (!system_root) return InstallError{"SystemRoot mangler"};
    // Composed once: the directory made, the one removed after a failed query and the one
    // handed on are the same path.
    WorkPaths paths = compose_work_paths(*system_root, ::GetCurrentProcessId());
    if (const DWORD error = make_work_dir(windows_file_operations(), paths.work_dir)) {
        return cannot_create(paths.work_dir, error);
    }
    const Result<NativePath, SystemError> process_temp_dir = query_temp_dir();
    if (!process_temp_dir.ok()) {
        // The run cannot go on without a log path, and the directory is of no use to anyone.
        remove_dir_tree(windows_file_operations(), paths.work_dir);
        return InstallError{"kan ikke finde den midlertidige mappe: " +
                            display_text(process_temp_dir.error())};
    }
    paths.log_path = log_path_in(process_temp_dir.value());
    return paths;
}

void remove_work_dir(const NativePath& work_dir) { remove_dir_tree(windows_file_operations(), work_dir); }

}  // namespace velbro
