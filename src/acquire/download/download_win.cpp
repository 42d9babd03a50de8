// The download step: status line, curl run to its end, outcome.
#include "acquire/download/download_win.h"

#include "acquire/download/download_command.h"
#include "platform/child_process_win.h"
#include "ui/progress_console_win.h"

namespace velbro {

StepFailure download_package(const WorkPaths& paths) {
    print_status("Henter Cloudflare WARP\u2026\n");
    const Result<std::uint32_t, SystemError> ran = run_and_wait(curl_command(paths));
    if (!ran.ok()) return InstallError{"kunne ikke starte curl: " + display_text(ran.error())};
    return download_outcome(ran.value());
}

}  // namespace velbro
