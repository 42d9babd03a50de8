// The msiexec command line that installs the package with the organisation's enrolment
// properties, and what msiexec's exit code means. Windows-free, so both are tested natively.
#pragma once

#include <cstdint>

#include "acquire/work_paths.h"
#include "platform/command_line.h"
#include "platform/step_result.h"

namespace velbro {

// <system32_dir>\msiexec.exe /i <package> /passive /norestart /l*v <log> ORGANIZATION=…
// ONBOARDING=false SUPPORT_URL=mailto:…
ChildCommand msiexec_command(const WorkPaths& paths);

// 0 and 3010 are the two success texts; every other code is a failure, the unknown ones
// with the code and the log's path.
RunResult install_outcome(std::uint32_t exit_code, const NativePath& log_path);

}  // namespace velbro
