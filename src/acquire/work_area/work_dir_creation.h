// Making directories for the work area: which get inherited rights and which the work
// directory's own. Windows-free: the file operations are supplied by the caller.
#pragma once

#include <cstdint>

#include "acquire/work_area/file_operations.h"

namespace velbro {

// Creates `path` and any missing ancestors with inherited rights; an existing directory at
// any level, or a link to one, is accepted. Returns win32::success or the error of the
// failing creation.
std::uint32_t create_dir_tree(FileOperations& files, const NativePath& path);

// Makes `work_dir`, new, with the work directory's descriptor, its missing ancestors with
// inherited rights, and confirms that what was made is a directory. Anything at its name (a
// folder, a link, a file) is left exactly as it stands and ends it with the creation's error:
// already_exists, or access_denied for an entry whose deletion is pending.
std::uint32_t make_work_dir(FileOperations& files, const NativePath& work_dir);

}  // namespace velbro
