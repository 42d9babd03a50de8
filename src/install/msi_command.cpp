// Builds msiexec's command line and maps its exit codes; no Windows calls.
#include "install/msi_command.h"

#include <string>

#include "settings/settings.h"

namespace velbro {
namespace {

// Windows Installer exit codes this step tells apart.
constexpr std::uint32_t INSTALL_SUCCESS = 0;
constexpr std::uint32_t INSTALL_USEREXIT = 1602;
constexpr std::uint32_t INSTALL_ALREADY_RUNNING = 1618;
constexpr std::uint32_t SUCCESS_REBOOT_REQUIRED = 3010;

}  // namespace

ChildCommand msiexec_command(const WorkPaths& paths) {
    ChildCommand command(join_path(paths.system32_dir, u"msiexec.exe"));
    add_argument(command, "/i");
    add_argument(command, paths.package_path);
    add_argument(command, "/passive");
    add_argument(command, "/norestart");
    add_argument(command, "/l*v");
    add_argument(command, paths.log_path);
    add_argument(command, "ORGANIZATION=" + std::string(TEAM_NAME));
    add_argument(command, "ONBOARDING=false");
    add_argument(command, "SUPPORT_URL=mailto:" + std::string(SUPPORT_EMAIL));
    return command;
}

RunResult install_outcome(std::uint32_t exit_code, const NativePath& log_path) {
    switch (exit_code) {
    case INSTALL_SUCCESS:
        return SuccessText{std::string(SUCCESS_TEXT)};
    case INSTALL_USEREXIT:
        return InstallError{"installationen blev annulleret"};
    case INSTALL_ALREADY_RUNNING:
        return InstallError{"en anden installation kører. Prøv igen om lidt"};
    case SUCCESS_REBOOT_REQUIRED:
        return SuccessText{"Genstart computeren for at afslutte installationen."};
    default:
        // Signed, as Windows shows exit codes: a crash reads -1073741819, not 3221225477.
        return InstallError{"installationen fejlede (kode " +
                            std::to_string(static_cast<std::int32_t>(exit_code)) +
                            "). Log: " + to_utf8(log_path)};
    }
}

}  // namespace velbro
