// verify_publisher when wintrust.dll cannot be loaded. Runs as its own test with Wine told to
// disable the DLL (WINEDLLOVERRIDES=wintrust=), which is how that failure happens for real.
#include <gtest/gtest.h>

#include "acquire/publisher/publisher_win.h"
#include "test_support_win.h"

namespace velbro {
namespace {

using namespace test_support;

TEST(VerifyPublisher, WithoutWintrustFailsAndClosesThePackage) {
    const ScratchFolder scratch;
    const NativePath path = scratch.path(u"Cloudflare_WARP.msi");
    copy_file(fixture_package(u"install-ok.msi"), path);
    Result<PackageHandle> opened = open_package(path);
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    PackageHandle package = std::move(opened.value());

    const StepFailure outcome = verify_publisher(path, package);

    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(is_system_error_text(outcome->message, "kan ikke indlæse wintrust.dll: ", 126));
    EXPECT_FALSE(package.is_open());
    EXPECT_EQ(delete_file(path), 0u);
}

}  // namespace
}  // namespace velbro
