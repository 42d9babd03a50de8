// The download step against our stand-in curl.exe in a test System32 folder, under Wine. Its
// command line and the meaning of every exit code are checked natively: here, that the step
// runs exactly that command after its status line and judges nothing but the exit code.
#include <gtest/gtest.h>

#include "acquire/download/download_command.h"
#include "acquire/download/download_win.h"
#include "test_support_win.h"

namespace velbro {
namespace {

using namespace test_support;

TEST(DownloadPackage, RunsCurlAndJudgesOnlyItsExitCode) {
    const struct {
        const char* name;
        const char16_t* exit_code;
        bool writes_package;
        const char* message;  // none: success
    } cases[] = {
        {"downloaded", u"0", true, nullptr},
        // Nothing checks the file here; the publisher check rejects what is missing or wrong.
        {"exit 0 without a file", u"0", false, nullptr},
        // The whole 32-bit code reaches the judgement.
        {"crash", u"0xC0000005", false, "download fejlede (exit code: 0xc0000005)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchFolder scratch;
        const WorkPaths paths = scratch.work_paths(stub_system32());
        const NativePath source = scratch.path(u"served.msi");
        make_file(source, "the package's bytes");
        const ScopedEnvironment arguments(u"VELBRO_STUB_ARGS", stub_arguments(curl_command(paths)));
        const ScopedEnvironment exit_code(u"VELBRO_STUB_EXIT", c.exit_code);
        const ScopedEnvironment download(u"VELBRO_STUB_DOWNLOAD", c.writes_package ? source : u"");
        CapturedStream output(scratch.path(u"console.txt"));

        StepFailure outcome;
        expect_no_handle_left_open([&] {
            output.clear();
            within_deadline("download_package", [&] { outcome = download_package(paths); });
        });

        // The status line is complete before curl starts.
        EXPECT_EQ(output.text(), "Henter Cloudflare WARP\u2026\n[stub curl.exe]\n");
        EXPECT_EQ(outcome ? outcome->message : "success", c.message ? c.message : "success");
        EXPECT_EQ(read_file(paths.package_path),
                  c.writes_package ? "the package's bytes" : "(cannot open: 2)");
    }
}

TEST(DownloadPackage, MissingCurlFailsWithTheSystemError) {
    const ScratchFolder scratch;
    // A System32 folder without curl.exe in it.
    StepFailure outcome;
    within_deadline("download_package", [&] { outcome = download_package(scratch.work_paths(scratch.path())); });
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(is_system_error_text(outcome->message, "kunne ikke starte curl: ", 2));
}

}  // namespace
}  // namespace velbro
