// The real installation steps, as the flow calls them.
#pragma once

#include "main/steps.h"

namespace velbro {

class WindowsSteps final : public InstallSteps {
public:
    Result<WorkPaths> prepare_work_area() override;
    StepFailure download_package(const WorkPaths& paths) override;
    Result<PackageHandle> open_package(const NativePath& package_path) override;
    StepFailure verify_publisher(const NativePath& package_path, PackageHandle& package) override;
    RunResult install_package(const WorkPaths& paths, PackageHandle package) override;
    void remove_work_dir(const NativePath& work_dir) override;
};

}  // namespace velbro
