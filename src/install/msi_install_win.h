// Installs the verified package with the System32 msiexec.exe while the package is still
// held open, and turns msiexec's verdict into the run's outcome.
#pragma once

#include "acquire/package_handle.h"
#include "acquire/work_paths.h"
#include "platform/step_result.h"

namespace velbro {

// Prints "Installerer…", runs msiexec to its end, then closes the package on every path.
RunResult install_package(const WorkPaths& paths, PackageHandle package);

}  // namespace velbro
