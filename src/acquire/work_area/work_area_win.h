// The run's work area: the paths from SystemRoot, and a work directory that this run makes
// itself and nobody else can write to, since the installer runs elevated inside a directory
// where every user may create folders; and its removal at the end of the run.
#pragma once

#include <windows.h>

#include "acquire/work_paths.h"
#include "platform/step_result.h"
#include "platform/system_error.h"

namespace velbro {

// Reads SystemRoot, composes the paths, creates the work directory and finds the log path.
Result<WorkPaths> prepare_work_area();

// The run's clean-up: remove_dir_tree with Windows' own file calls, its failure dropped. The
// caller has closed every handle it held on files inside.
void remove_work_dir(const NativePath& work_dir);

// GetTempPath2W, or GetTempPathW where kernel32 does not export it.
using TempPathFunction = decltype(&::GetTempPathW);

// Puts `query` in place of the looked-up function (nullptr: look it up again at the next
// query). For tests: Windows does not make this query fail on request.
void set_temp_path_function(TempPathFunction query);

// The process's temporary directory, with its trailing backslash.
Result<NativePath, SystemError> query_temp_dir();

}  // namespace velbro
