// Fetches the package with the curl.exe that ships in System32, on the installer's console.
#pragma once

#include "acquire/work_paths.h"
#include "platform/step_result.h"

namespace velbro {

// Prints "Henter Cloudflare WARP…" and runs curl; fails on a start failure or a non-zero
// exit code. The file's content is not looked at: the publisher check comes next.
StepFailure download_package(const WorkPaths& paths);

}  // namespace velbro
