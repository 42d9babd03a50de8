// Creating the work area. The work directory itself is never taken over from someone else:
// whatever stands at its name is removed (links as links) and the directory made afresh
// with its own security descriptor; only its ancestors are accepted as they are.
#include "acquire/work_area.h"

#include <sddl.h>

#include <optional>
#include <string>
#include <vector>

#include "acquire/remove_tree.h"
#include "acquire/work_area_paths.h"

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

bool is_not_found(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME;
}

bool is_already_there(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

// Whether `path` is a directory, or a link to one.
bool is_directory(const NativePath& path) {
    UniqueHandle entry(::CreateFileW(wide_ptr(path), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FILE_BASIC_INFO basic;
    return entry && ::GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof basic) &&
           (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

DWORD create_directory(const NativePath& path, SECURITY_ATTRIBUTES* security) {
    return ::CreateDirectoryW(wide_ptr(path), security) ? ERROR_SUCCESS : ::GetLastError();
}

// Removes what stands at `dir_name` in `parent` so the work directory can be made afresh:
// a directory with everything in it, a link as the link. Best effort: the fresh creation
// that follows tells whether it worked.
void remove_planted(const NativePath& parent, std::u16string_view dir_name, const NativePath& path,
                    DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        remove_dir_tree(path);
        return;
    }
    UniqueHandle parent_dir(::CreateFileW(wide_ptr(parent), FILE_LIST_DIRECTORY,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (parent_dir) delete_entry(parent_dir.get(), dir_name);
}

// Creates the work directory `dir_name` in `parent` (made first when missing) with the
// work directory's descriptor.
DWORD create_work_dir(const NativePath& parent, std::u16string_view dir_name, const NativePath& path) {
    Result<UniqueLocal, SystemError> descriptor = build_work_dir_descriptor();
    if (!descriptor.ok()) return descriptor.error().code();
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.value().get(), FALSE};

    DWORD error = create_directory(path, &security);
    if (is_not_found(error)) {
        if (const DWORD failed = create_dir_tree(parent)) return failed;
        error = create_directory(path, &security);
    }
    if (!is_already_there(error)) return error;
    // Planted by someone else, or left by an earlier run: neither is trusted. A plain file
    // is not ours to delete, and ends the step.
    const DWORD attributes = ::GetFileAttributesW(wide_ptr(path));  // of a link, not its target
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
        return error;
    }
    remove_planted(parent, dir_name, path, attributes);
    return create_directory(path, &security);
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

DWORD create_dir_tree(const NativePath& path) {
    std::vector<NativePath> missing;  // innermost first
    NativePath current = path;
    for (;;) {
        const std::optional<std::u16string_view> parent = parent_path(current);
        if (current.empty() || !parent) break;
        const DWORD error = create_directory(current, nullptr);
        if (error == ERROR_SUCCESS) break;
        if (is_already_there(error)) {
            if (is_directory(current)) break;
            return error;
        }
        if (!is_not_found(error)) return error;
        NativePath next(*parent);
        missing.push_back(std::move(current));
        current = std::move(next);
    }
    for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir) {
        const DWORD error = create_directory(*dir, nullptr);
        if (error != ERROR_SUCCESS && !(is_already_there(error) && is_directory(*dir))) return error;
    }
    return ERROR_SUCCESS;
}

Result<UniqueLocal, SystemError> build_work_dir_descriptor() {
    const NativePath sddl(WORK_DIR_SDDL);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide_ptr(sddl), SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return SystemError::from_code(::GetLastError());
    }
    return UniqueLocal(descriptor);
}

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
    const DWORD process_id = ::GetCurrentProcessId();
    const NativePath temp_dir = windows_temp_dir(*system_root);
    const NativePath dir_name = work_dir_name(process_id);
    const NativePath work_dir = join_path(temp_dir, dir_name);

    if (const DWORD error = create_work_dir(temp_dir, dir_name, work_dir)) {
        return cannot_create(work_dir, error);
    }
    const Result<NativePath, SystemError> process_temp_dir = query_temp_dir();
    if (!process_temp_dir.ok()) {
        // The run cannot go on without a log path, and the directory is of no use to anyone.
        remove_dir_tree(work_dir);
        return InstallError{"kan ikke finde den midlertidige mappe: " +
                            display_text(process_temp_dir.error())};
    }
    return compose_work_paths(*system_root, process_id, process_temp_dir.value());
}

}  // namespace velbro
