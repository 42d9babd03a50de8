// The download step against our stand-in curl.exe in a test System32 folder, under Wine.
#include <gtest/gtest.h>

#include "acquire/download.h"
#include "fixtures/package_test_support.h"

namespace velbro {
namespace {

using namespace package_test;

// What curl must receive, one argument per line, as the stub compares it.
std::u16string expected_curl_arguments(const WorkPaths& paths) {
    return u"--fail\n--location\n--progress-bar\n--output\n" + paths.package_path +
           u"\nhttps://downloads.cloudflareclient.com/v1/download/windows/ga";
}

TEST(DownloadPackage, RunsCurlAndJudgesOnlyItsExitCode) {
    const struct {
        const char* name;
        std::u16string exit_code;
        bool writes_package;
        const char* message;  // none: success
    } cases[] = {
        {"downloaded", u"0", true, nullptr},
        // Nothing checks the file here; the publisher check rejects what is missing or wrong.
        {"exit 0 without a file", u"0", false, nullptr},
        {"HTTP error", u"22", false, "download fejlede (exit code: 22)"},
        {"crash", u"0xC0000005", false, "download fejlede (exit code: 0xc0000005)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchFolder scratch;
        const WorkPaths paths = scratch.work_paths(stub_system32());
        const NativePath source = scratch.path(u"served.msi");
        write_file(source, "the package's bytes");
        const ScopedEnvironment arguments(u"VELBRO_STUB_ARGS", expected_curl_arguments(paths));
        const ScopedEnvironment exit_code(u"VELBRO_STUB_EXIT", c.exit_code);
        const ScopedEnvironment download(u"VELBRO_STUB_DOWNLOAD", c.writes_package ? source : u"");

        StepStatus outcome;
        std::string console;
        {
            const CapturedOutput output(scratch.path(u"console.txt"));
            const int handles_before = count_handles();
            within_deadline("download_package", [&] { outcome = download_package(paths); });
            // The first run warms up what Windows keeps for the rest of the process.
            if (&c != &cases[0]) {
                EXPECT_EQ(count_handles(), handles_before);
            }
            console = output.text();
        }

        // The status line is complete before curl starts.
        EXPECT_EQ(console, "Henter Cloudflare WARP\u2026\n[stub curl.exe]\n");
        if (c.message == nullptr) {
            EXPECT_FALSE(outcome.has_value()) << outcome->message;
        } else {
            ASSERT_TRUE(outcome.has_value());
            EXPECT_EQ(outcome->message, c.message);
        }
        EXPECT_EQ(file_exists(paths.package_path), c.writes_package);
        if (c.writes_package) {
            EXPECT_EQ(read_file(paths.package_path), "the package's bytes");
        }
    }
}

TEST(DownloadPackage, MissingCurlFailsWithTheSystemError) {
    const ScratchFolder scratch;
    // A System32 folder without curl.exe in it.
    const WorkPaths paths = scratch.work_paths(scratch.path());

    StepStatus outcome;
    within_deadline("download_package", [&] { outcome = download_package(paths); });

    ASSERT_TRUE(outcome.has_value());
    const std::string prefix = "kunne ikke starte curl: ";
    const std::string suffix = " (os error 2)";
    EXPECT_EQ(outcome->message.rfind(prefix, 0), 0u) << outcome->message;
    EXPECT_GT(outcome->message.size(), prefix.size() + suffix.size()) << outcome->message;
    EXPECT_TRUE(outcome->message.ends_with(suffix)) << outcome->message;
}

}  // namespace
}  // namespace velbro
