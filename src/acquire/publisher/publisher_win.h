// Proves that the downloaded package is the vendor's: an Authenticode signature that Windows
// trusts, made by a certificate named exactly EXPECTED_PUBLISHER.
#pragma once

#include "acquire/package_handle.h"
#include "platform/step_result.h"
#include "platform/text.h"

namespace velbro {

// Opens the package for reading, shared for reading only, so that no other process can change
// or delete it until the handle is closed after the installation.
Result<PackageHandle> open_package(const NativePath& package_path);

// Checks the open package. On success the handle stays open for the installation; on every
// failure it has been closed before this returns.
StepFailure verify_publisher(const NativePath& package_path, PackageHandle& package);

}  // namespace velbro
