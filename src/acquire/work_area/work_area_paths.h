// What the work area's paths are made of, apart from the calls that create the directory:
// SystemRoot, the process id and the temporary directory in, paths out. Windows-free.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "acquire/work_paths.h"

namespace velbro {

// The Temp directory under SystemRoot: the work directory's parent.
NativePath windows_temp_dir(std::u16string_view system_root);

// "velbro-vpn-" and the process id in decimal.
NativePath work_dir_name(std::uint32_t process_id);

// The paths of a run but the log's, which waits for the temporary directory: the work
// directory is made before that is asked for, and must be the path handed on.
WorkPaths compose_work_paths(std::u16string_view system_root, std::uint32_t process_id);

// The log's path in `temp_dir`, the process's temporary directory as Windows gives it, with
// its trailing backslash.
NativePath log_path_in(std::u16string_view temp_dir);

// The path without its last component ("C:\Windows" for "C:\Windows\Temp", "" for "Temp"),
// or nothing when there is no component to remove: an empty path, a bare root or drive
// ("C:\", "C:", "\\server\share\", "\\?\C:\").
std::optional<std::u16string_view> parent_path(std::u16string_view path);

}  // namespace velbro
