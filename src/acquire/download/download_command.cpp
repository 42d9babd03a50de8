// Builds curl's command line and judges its exit code; no Windows calls.
#include "acquire/download/download_command.h"

#include "settings/settings.h"

namespace velbro {

ChildCommand curl_command(const WorkPaths& paths) {
    ChildCommand command(join_path(paths.system32_dir, u"curl.exe"));
    // --fail: an HTTP error ends curl with a non-zero code instead of saving the error page
    // as the package.
    add_argument(command, "--fail");
    add_argument(command, "--location");
    add_argument(command, "--progress-bar");
    add_argument(command, "--output");
    add_argument(command, paths.package_path);
    add_argument(command, DOWNLOAD_URL);
    return command;
}

StepFailure download_outcome(std::uint32_t exit_code) {
    if (exit_code == 0) return std::nullopt;
    return InstallError{"download fejlede (" + format_exit_status(exit_code) + ")"};
}

}  // namespace velbro
