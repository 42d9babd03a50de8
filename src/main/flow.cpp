// The installer's run from confirmation to exit code, and the one branch of its steps.
#include "main/flow.h"

#include <array>

#include "main/upper_case.h"
#include "platform/text.h"
#include "settings/settings.h"

namespace velbro {
namespace {

constexpr std::string_view STATUS_VERIFYING = "Kontrollerer signatur\u2026\n";
constexpr std::string_view FAILURE_INSTRUCTION = "Installationen fejlede";

// The steps that need the work directory; removal follows whatever they return.
RunResult acquire_and_install(UserInterface& ui, InstallSteps& steps, const WorkPaths& paths) {
    if (StepFailure failed = steps.download_package(paths)) return std::move(*failed);

    Result<PackageHandle> opened = steps.open_package(paths.package_path);
    if (!opened.ok()) return opened.error();
    PackageHandle package = std::move(opened.value());

    ui.print_status(STATUS_VERIFYING);
    if (StepFailure failed = steps.verify_publisher(paths.package_path, package)) {
        package.reset();  // already closed by the step; the owner makes sure of it
        return std::move(*failed);
    }
    return steps.install_package(paths, std::move(package));
}

// Removes the work directory when the steps that need it are over, however they end: an
// exception on its way out of them (an allocation failure, say) included.
class WorkDirRemoval {
public:
    WorkDirRemoval(InstallSteps& steps, const NativePath& work_dir) : steps_(steps), work_dir_(work_dir) {}
    ~WorkDirRemoval() {
        try {
            steps_.remove_work_dir(work_dir_);
        } catch (...) {
            // Best effort, like every removal.
        }
    }
    WorkDirRemoval(const WorkDirRemoval&) = delete;
    WorkDirRemoval& operator=(const WorkDirRemoval&) = delete;

private:
    InstallSteps& steps_;
    const NativePath& work_dir_;
};

std::uint32_t confirm_and_run(UserInterface& ui, InstallSteps& steps) {
    const std::string help_footer = "Hjælp: " + std::string(SUPPORT_EMAIL);

    const std::array<DialogButton, 2> buttons{{
        {BUTTON_INSTALL, "Installér"},
        {BUTTON_CANCEL, "Annuller"},
    }};
    const int answer = ui.show_dialog(OwnerWindow{}, false, CONFIRM_INSTRUCTION, CONFIRM_CONTENT,
                                      help_footer, buttons, 0);
    if (answer != BUTTON_INSTALL) return 0;

    const OwnerWindow console_window = ui.open_progress_console();
    ui.print_status(CONSOLE_HEADING);

    const RunResult result = run_steps(ui, steps);
    if (result.ok()) {
        ui.show_outcome_dialog(console_window, false, SUCCESS_INSTRUCTION, result.value().text,
                               help_footer);
    } else {
        ui.show_outcome_dialog(console_window, true, FAILURE_INSTRUCTION,
                               failure_text(result.error().message), help_footer);
    }
    // The console stays behind the outcome dialog until the user has closed it.
    ui.close_progress_console();
    return result.ok() ? 0 : 1;
}

}  // namespace

RunResult run_steps(UserInterface& ui, InstallSteps& steps) {
    Result<WorkPaths> prepared = steps.prepare_work_area();
    // Nothing for the flow to remove: a failed step has made no work directory, or has
    // removed it itself (the temporary directory could not be found); a plain file at the
    // work directory's name is someone else's and stays.
    if (!prepared.ok()) return prepared.error();
    const WorkPaths paths = std::move(prepared.value());

    // Every handle on the package is closed by the time the removal runs, so it can take it.
    const WorkDirRemoval removal(steps, paths.work_dir);
    return acquire_and_install(ui, steps, paths);
}

std::string failure_text(std::string_view message) {
    if (message.empty()) return {};
    std::string text;
    char32_t first;
    std::size_t used = decode_utf8(message, first);
    if (used == 0) {
        // Not valid UTF-8 at the start: leave that byte alone.
        used = 1;
        text.push_back(message[0]);
    } else {
        char32_t upper[3];
        const std::size_t count = full_upper_case(first, upper);
        for (std::size_t i = 0; i < count; ++i) append_utf8(text, upper[i]);
    }
    text.append(message.substr(used));
    text.push_back('.');
    return text;
}

std::uint32_t run_installer(UserInterface& ui, InstallSteps& steps) {
    // Nothing may end the run through the runtime's abort, with its exit code 3.
    try {
        return confirm_and_run(ui, steps);
    } catch (...) {
        return 1;
    }
}

}  // namespace velbro
