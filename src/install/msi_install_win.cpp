// The installation step: status line, msiexec run to its end, package closed, outcome.
#include "install/msi_install_win.h"

#include "install/msi_command.h"
#include "platform/child_process_win.h"
#include "ui/progress_console_win.h"

namespace velbro {

RunResult install_package(const WorkPaths& paths, PackageHandle package) {
    print_status("Installerer\u2026\n");
    const Result<std::uint32_t, SystemError> ran = run_and_wait(msiexec_command(paths));
    // Held until msiexec has ended, so the file it installed is the one that was verified.
    package.reset();
    if (!ran.ok()) return InstallError{"kunne ikke starte msiexec: " + display_text(ran.error())};
    return install_outcome(ran.value(), paths.log_path);
}

}  // namespace velbro
