// Wires the flow to the steps this build has. A step that is not built yet fails the run
// with a message that says so: nothing may report success for work that was not done.
#include "main/windows_steps.h"

#include "acquire/remove_tree.h"
#include "acquire/work_area.h"

namespace velbro {
namespace {

InstallError not_built(const char* what) {
    return InstallError{std::string(what) + " er ikke indbygget i denne udgave af programmet"};
}

}  // namespace

Result<WorkPaths> WindowsSteps::prepare_work_area() { return ::velbro::prepare_work_area(); }

StepStatus WindowsSteps::download_package(const WorkPaths&) { return not_built("hentningen"); }

Result<PackageHandle> WindowsSteps::open_package(const NativePath&) {
    return not_built("kontrollen af signaturen");
}

StepStatus WindowsSteps::verify_publisher(const NativePath&, PackageHandle& package) {
    package.reset();
    return not_built("kontrollen af signaturen");
}

RunResult WindowsSteps::install_package(const WorkPaths&, PackageHandle) {
    return not_built("installationen");
}

void WindowsSteps::remove_work_dir(const NativePath& work_dir) { ::velbro::remove_work_dir(work_dir); }

}  // namespace velbro
