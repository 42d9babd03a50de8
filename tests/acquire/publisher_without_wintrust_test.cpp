// verify_publisher when wintrust.dll cannot be loaded. Runs as its own test with Wine told to
// disable the DLL (WINEDLLOVERRIDES=wintrust=), which is how that failure happens for real.
#include <gtest/gtest.h>

#include "acquire/publisher.h"
#include "fixtures/package_test_support.h"

namespace velbro {
namespace {

using namespace package_test;

TEST(VerifyPublisher, WithoutWintrustFailsAndClosesThePackage) {
    const ScratchFolder scratch;
    const NativePath path = scratch.path(u"Cloudflare_WARP.msi");
    copy_file(fixture_package(u"install-ok.msi"), path);
    Result<PackageHandle> opened = open_package(path);
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    PackageHandle package = std::move(opened.value());

    const StepStatus outcome = verify_publisher(path, package);

    ASSERT_TRUE(outcome.has_value());
    const std::string prefix = "kan ikke indlæse wintrust.dll: ";
    EXPECT_EQ(outcome->message.rfind(prefix, 0), 0u) << outcome->message;
    EXPECT_NE(outcome->message.find(" (os error ", prefix.size()), std::string::npos) << outcome->message;
    EXPECT_FALSE(package.is_open());
    EXPECT_EQ(delete_file(path), 0u);
}

}  // namespace
}  // namespace velbro
