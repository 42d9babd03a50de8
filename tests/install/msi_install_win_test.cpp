// The installation step under Wine. Its command line and the meaning of every exit code are
// checked natively: here, that the step runs exactly that command on the held package after its
// status line, closes the package and maps what msiexec ended with, against our stand-in
// msiexec.exe for one success and one failure code, and once with Wine's real msiexec.
#include <gtest/gtest.h>

#include "acquire/publisher/publisher_win.h"
#include "install/msi_command.h"
#include "install/msi_install_win.h"
#include "test_support_win.h"

namespace velbro {
namespace {

using namespace test_support;

// A package held open as the publisher check leaves it.
PackageHandle held_package(const WorkPaths& paths) {
    if (!exists(paths.package_path)) make_file(paths.package_path, "a package");
    Result<PackageHandle> opened = open_package(paths.package_path);
    if (!opened.ok()) ADD_FAILURE() << opened.error().message;
    return opened.ok() ? std::move(opened.value()) : PackageHandle();
}

// install_package, given the time a real msiexec needs on a loaded machine.
RunResult install(const WorkPaths& paths, PackageHandle package, DWORD deadline_ms = 30000) {
    std::optional<RunResult> outcome;
    within_deadline("install_package",
                    [&] { outcome.emplace(install_package(paths, std::move(package))); }, deadline_ms);
    return std::move(*outcome);
}

std::string shown(const RunResult& outcome) {
    return outcome.ok() ? "success: " + outcome.value().text : outcome.error().message;
}

TEST(InstallPackage, RunsMsiexecOnTheHeldPackageAndMapsItsExitCode) {
    const struct {
        const char16_t* exit_code;
        std::string text;  // the log path follows where the text ends in "Log: "
    } cases[] = {
        {u"3010", "success: Genstart computeren for at afslutte installationen."},
        {u"0xC0000005", "installationen fejlede (kode -1073741819). Log: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.exit_code));
        const ScratchFolder scratch;
        const WorkPaths paths = scratch.work_paths(stub_system32());
        // The stub checks its arguments, and that the package is held while it runs.
        const ScopedEnvironment arguments(u"VELBRO_STUB_ARGS", stub_arguments(msiexec_command(paths)));
        const ScopedEnvironment exit_code(u"VELBRO_STUB_EXIT", c.exit_code);
        CapturedStream output(scratch.path(u"console.txt"));

        std::optional<RunResult> outcome;
        // The package is opened and closed inside.
        expect_no_handle_left_open([&] {
            output.clear();
            outcome.emplace(install(paths, held_package(paths)));
        });

        // The status line is complete before msiexec starts.
        EXPECT_EQ(output.text(), "Installerer\u2026\n[stub msiexec.exe]\n");
        EXPECT_EQ(shown(*outcome), c.text.ends_with("Log: ") ? c.text + to_utf8(paths.log_path) : c.text);
        // The stub saw the package held; now it is closed and goes with the work folder.
        EXPECT_EQ(delete_file(paths.package_path), 0u);
    }
}

TEST(InstallPackage, MissingMsiexecFailsWithTheSystemErrorAndClosesThePackage) {
    const ScratchFolder scratch;
    // A System32 folder without msiexec.exe in it.
    const WorkPaths paths = scratch.work_paths(scratch.path());
    EXPECT_TRUE(is_system_error_text(shown(install(paths, held_package(paths))), "kunne ikke starte msiexec: ", 2));
    EXPECT_EQ(delete_file(paths.package_path), 0u);
}

// The package asks for a restart, which /norestart turns into exit code 3010; the end-to-end
// runs install one that needs none.
TEST(InstallPackage, RealMsiexecInstallsTheVerifiedPackageWithTheEnrolmentProperties) {
    uninstall(INSTALL_REBOOT);
    const ScratchFolder scratch;
    const WorkPaths paths = scratch.work_paths(u"C:\\windows\\system32");
    copy_file(fixture_package(u"install-reboot.msi"), paths.package_path);
    PackageHandle package = held_package(paths);
    const StepFailure verified = verify_publisher(paths.package_path, package);
    ASSERT_FALSE(verified.has_value()) << verified->message;

    EXPECT_EQ(shown(install(paths, std::move(package), 120000)), "success: Genstart computeren for at afslutte installationen.");
    EXPECT_EQ(recorded_property(INSTALL_REBOOT, u"ORGANIZATION"), "velbro");
    EXPECT_EQ(recorded_property(INSTALL_REBOOT, u"ONBOARDING"), "false");
    EXPECT_EQ(recorded_property(INSTALL_REBOOT, u"SUPPORT_URL"), "mailto:it-support@vellumbrok.dk");
    EXPECT_TRUE(exists(paths.log_path));
    EXPECT_EQ(delete_file(paths.package_path), 0u);
    uninstall(INSTALL_REBOOT);
}

}  // namespace
}  // namespace velbro
