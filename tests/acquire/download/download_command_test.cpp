// curl's command line and the meaning of its exit code.
#include <gtest/gtest.h>

#include "acquire/download/download_command.h"

namespace velbro {
namespace {

TEST(CurlCommand, RunsSystem32CurlWithExactlySixArguments) {
    const WorkPaths paths{u"C:\\Windows\\System32", u"C:\\Windows\\Temp\\velbro-vpn-4242",
                          u"C:\\Windows\\Temp\\velbro-vpn-4242\\Cloudflare_WARP.msi",
                          u"C:\\Users\\Test User\\AppData\\Local\\Temp\\velbro-vpn-install.log"};
    const ChildCommand command = curl_command(paths);
    EXPECT_EQ(command.program, u"C:\\Windows\\System32\\curl.exe");
    const std::vector<std::u16string> expected{
        u"--fail", u"--location", u"--progress-bar", u"--output",
        u"C:\\Windows\\Temp\\velbro-vpn-4242\\Cloudflare_WARP.msi",
        u"https://downloads.cloudflareclient.com/v1/download/windows/ga"};
    EXPECT_EQ(command.arguments, expected);
}

TEST(DownloadOutcome, OnlyExitCodeZeroCounts) {
    const struct {
        std::uint32_t exit_code;
        const char* message;  // none: success
    } cases[] = {
        {0, nullptr},
        {22, "download fejlede (exit code: 22)"},
        {6, "download fejlede (exit code: 6)"},
        {0xC0000005, "download fejlede (exit code: 0xc0000005)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exit_code);
        const StepFailure outcome = download_outcome(c.exit_code);
        if (c.message == nullptr) {
            EXPECT_FALSE(outcome.has_value());
        } else {
            ASSERT_TRUE(outcome.has_value());
            EXPECT_EQ(outcome->message, c.message);
        }
    }
}

}  // namespace
}  // namespace velbro
