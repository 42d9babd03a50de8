// The curl command line that fetches the package, and what curl's exit code means.
// Windows-free, so both are tested natively.
#pragma once

#include <cstdint>

#include "acquire/work_paths.h"
#include "platform/command_line.h"
#include "platform/step_result.h"

namespace velbro {

// <system32_dir>\curl.exe --fail --location --progress-bar --output <package_path> <url>
ChildCommand curl_command(const WorkPaths& paths);

// Success for 0; any other code fails the download with its exit status.
StepFailure download_outcome(std::uint32_t exit_code);

}  // namespace velbro
