// The run's work area: the paths from SystemRoot, and a work directory that this run makes
// itself and nobody else can write to, since the installer runs elevated inside a directory
// where every user may create folders.
#pragma once

#include <windows.h>

#include <string_view>

#include "acquire/work_paths.h"
#include "platform/step_result.h"
#include "platform/system_error.h"
#include "platform/unique_handle_win.h"

namespace velbro {

// Reads SystemRoot, composes the paths, creates the work directory and finds the log path.
Result<WorkPaths> prepare_work_area();

// Creates `path` and any missing ancestors with inherited permissions; an existing directory
// at any level is accepted. Returns ERROR_SUCCESS or the error of the failing creation.
DWORD create_dir_tree(const NativePath& path);

// The work directory's protection: full control for SYSTEM and the Administrators group
// only, inherited by everything inside, nothing inherited from above. The owner is named:
// left to the token, it is the employee's own account where policy makes the creator the
// owner, and an owner may always rewrite the DACL.
inline constexpr std::u16string_view WORK_DIR_SDDL = u"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// WORK_DIR_SDDL as a security descriptor, owned by its LocalFree owner.
Result<UniqueLocal, SystemError> build_work_dir_descriptor();

// GetTempPath2W, or GetTempPathW where kernel32 does not export it.
using TempPathFunction = decltype(&::GetTempPathW);

// Puts `query` in place of the looked-up function (nullptr: look it up again at the next
// query). For tests: Windows does not make this query fail on request.
void set_temp_path_function(TempPathFunction query);

// The process's temporary directory, with its trailing backslash.
Result<NativePath, SystemError> query_temp_dir();

}  // namespace velbro
