// What the flow needs from the installation steps, so that the step sequence is plain
// logic: the real steps call Windows, the tests' stand-ins record what was called.
#pragma once

#include "acquire/package_handle.h"
#include "acquire/work_paths.h"
#include "platform/step_result.h"

namespace velbro {

class InstallSteps {
public:
    virtual ~InstallSteps() = default;

    // Reads SystemRoot, composes the paths and creates the work directory.
    virtual Result<WorkPaths> prepare_work_area() = 0;
    // Prints its status line and fetches the package into paths.package_path.
    virtual StepFailure download_package(const WorkPaths& paths) = 0;
    // Opens the package for reading, shared for reading only.
    virtual Result<PackageHandle> open_package(const NativePath& package_path) = 0;
    // Checks signature and signer; on failure the handle has been closed.
    virtual StepFailure verify_publisher(const NativePath& package_path, PackageHandle& package) = 0;
    // Runs the package installer; the handle is closed on every path out.
    virtual RunResult install_package(const WorkPaths& paths, PackageHandle package) = 0;
    // Best effort; never reports a failure.
    virtual void remove_work_dir(const NativePath& work_dir) = 0;
};

}  // namespace velbro
