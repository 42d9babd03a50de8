// Wires the flow to the real steps.
#include "main/steps_win.h"

#include "acquire/download/download_win.h"
#include "acquire/publisher/publisher_win.h"
#include "acquire/work_area/work_area_win.h"
#include "install/msi_install_win.h"

namespace velbro {

// Qualified calls: unqualified, each name would find the member that wraps it.
Result<WorkPaths> WindowsSteps::prepare_work_area() { return ::velbro::prepare_work_area(); }

StepFailure WindowsSteps::download_package(const WorkPaths& paths) {
    return ::velbro::download_package(paths);
}

Result<PackageHandle> WindowsSteps::open_package(const NativePath& package_path) {
    return ::velbro::open_package(package_path);
}

StepFailure WindowsSteps::verify_publisher(const NativePath& package_path, PackageHandle& package) {
    return ::velbro::verify_publisher(package_path, package);
}

RunResult WindowsSteps::install_package(const WorkPaths& paths, PackageHandle package) {
    return ::velbro::install_package(paths, std::move(package));
}

void WindowsSteps::remove_work_dir(const NativePath& work_dir) { ::velbro::remove_work_dir(work_dir); }

}  // namespace velbro
