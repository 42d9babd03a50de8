// The installation step under Wine: against our stand-in msiexec.exe for every exit code, and
// once with Wine's real msiexec and a signed test package.
#include <gtest/gtest.h>

#include "acquire/publisher.h"
#include "fixtures/package_test_support.h"
#include "install/msi_install.h"
#include "platform/child_process.h"

namespace velbro {
namespace {

using namespace package_test;

std::u16string expected_msiexec_arguments(const WorkPaths& paths) {
    return u"/i\n" + paths.package_path + u"\n/passive\n/norestart\n/l*v\n" + paths.log_path +
           u"\nORGANIZATION=velbro\nONBOARDING=false\nSUPPORT_URL=mailto:it-support@vellumbrok.dk";
}

// A package held open as the publisher check leaves it.
PackageHandle held_package(const WorkPaths& paths) {
    write_file(paths.package_path, "a package");
    Result<PackageHandle> opened = open_package(paths.package_path);
    if (!opened.ok()) ADD_FAILURE() << opened.error().message;
    return opened.ok() ? std::move(opened.value()) : PackageHandle();
}

TEST(InstallPackage, RunsMsiexecOnTheHeldPackageAndMapsItsExitCode) {
    const struct {
        std::u16string exit_code;
        bool success;
        std::string text;  // the log path follows where the text ends in "Log: "
    } cases[] = {
        {u"0", true, "Cloudflare WARP er installeret og forbundet til Vellumbroks netværk."},
        {u"3010", true, "Genstart computeren for at afslutte installationen."},
        {u"1602", false, "installationen blev annulleret"},
        {u"1618", false, "en anden installation kører. Prøv igen om lidt"},
        {u"1603", false, "installationen fejlede (kode 1603). Log: "},
        {u"1641", false, "installationen fejlede (kode 1641). Log: "},
        {u"0xC0000005", false, "installationen fejlede (kode -1073741819). Log: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.exit_code));
        const ScratchFolder scratch;
        const WorkPaths paths = scratch.work_paths(stub_system32());
        const ScopedEnvironment arguments(u"VELBRO_STUB_ARGS", expected_msiexec_arguments(paths));
        const ScopedEnvironment exit_code(u"VELBRO_STUB_EXIT", c.exit_code);
        PackageHandle package = held_package(paths);

        std::optional<RunResult> outcome;
        std::string console;
        {
            const CapturedOutput output(scratch.path(u"console.txt"));
            const int handles_before = count_handles();
            within_deadline("install_package",
                            [&] { outcome.emplace(install_package(paths, std::move(package))); });
            // Only the package is gone; the first run warms up what Windows keeps.
            if (&c != &cases[0]) {
                EXPECT_EQ(count_handles(), handles_before - 1);
            }
            console = output.text();
        }

        // The status line is complete before msiexec starts.
        EXPECT_EQ(console, "Installerer\u2026\n[stub msiexec.exe]\n");
        const std::string text = c.text.ends_with("Log: ") ? c.text + to_utf8(paths.log_path) : c.text;
        const std::string& shown = outcome->ok() ? outcome->value().text : outcome->error().message;
        EXPECT_EQ(outcome->ok(), c.success) << shown;
        EXPECT_EQ(shown, text);
        // The stub saw the package held; now it is closed and goes with the work folder.
        EXPECT_EQ(delete_file(paths.package_path), 0u);
    }
}

TEST(InstallPackage, MissingMsiexecFailsWithTheSystemErrorAndClosesThePackage) {
    const ScratchFolder scratch;
    // A System32 folder without msiexec.exe in it.
    const WorkPaths paths = scratch.work_paths(scratch.path());
    PackageHandle package = held_package(paths);

    std::optional<RunResult> outcome;
    within_deadline("install_package", [&] { outcome.emplace(install_package(paths, std::move(package))); });

    ASSERT_FALSE(outcome->ok());
    const std::string& message = outcome->error().message;
    const std::string prefix = "kunne ikke starte msiexec: ";
    const std::string suffix = " (os error 2)";
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), prefix.size() + suffix.size()) << message;
    EXPECT_TRUE(message.ends_with(suffix)) << message;
    EXPECT_EQ(delete_file(paths.package_path), 0u);
}

// The signed test packages Wine's msiexec really installs: each records the properties it
// was given under its own key (64-bit view).
struct RealPackage {
    const char16_t* file;
    const char16_t* product_code;
    const char* success_text;
};
const RealPackage REAL_PACKAGES[] = {
    {u"install-ok.msi", u"{BBE61C69-F434-405C-84A9-DE2C4038917E}",
     "Cloudflare WARP er installeret og forbundet til Vellumbroks netværk."},
    // Schedules a restart, which /norestart turns into exit code 3010.
    {u"install-reboot.msi", u"{8DCFF251-90ED-461A-B361-47AD06D4E1C0}",
     "Genstart computeren for at afslutte installationen."},
};

std::u16string record_key(const RealPackage& package) {
    const std::u16string file(package.file);
    return u"Software\\Velbro Tests\\" + file.substr(0, file.size() - 4);
}

std::string recorded(const RealPackage& package, const char16_t* name) {
    std::u16string value(256, u'\0');
    DWORD size = static_cast<DWORD>(value.size() * sizeof(char16_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, wide_ptr(record_key(package)),
                       reinterpret_cast<const wchar_t*>(name), RRF_RT_REG_SZ, nullptr, wide_ptr(value),
                       &size) != ERROR_SUCCESS) {
        return "<missing>";
    }
    value.resize(size / sizeof(char16_t) - 1);
    return to_utf8(value);
}

// Leaves the prefix as it was, also after an earlier run that stopped half-way. Without any
// user interface, so that nothing waits for a click when the product is not installed.
void remove_test_product(const RealPackage& package) {
    ChildCommand uninstall(u"C:\\windows\\system32\\msiexec.exe");
    add_argument(uninstall, u"/x");
    add_argument(uninstall, package.product_code);
    add_argument(uninstall, u"/qn");
    within_deadline("msiexec /x", [&] { run_and_wait(uninstall); });
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, wide_ptr(record_key(package)));
}

TEST(InstallPackage, RealMsiexecInstallsTheVerifiedPackageWithTheEnrolmentProperties) {
    for (const RealPackage& real : REAL_PACKAGES) {
        SCOPED_TRACE(to_utf8(real.file));
        remove_test_product(real);
        const ScratchFolder scratch;
        const WorkPaths paths = scratch.work_paths(u"C:\\windows\\system32");
        copy_file(fixture_package(real.file), paths.package_path);
        Result<PackageHandle> opened = open_package(paths.package_path);
        ASSERT_TRUE(opened.ok()) << opened.error().message;
        PackageHandle package = std::move(opened.value());
        const StepStatus verified = verify_publisher(paths.package_path, package);
        ASSERT_FALSE(verified.has_value()) << verified->message;

        std::optional<RunResult> outcome;
        within_deadline("msiexec", [&] { outcome.emplace(install_package(paths, std::move(package))); });

        ASSERT_TRUE(outcome->ok()) << outcome->error().message;
        EXPECT_EQ(outcome->value().text, real.success_text);
        EXPECT_EQ(recorded(real, u"ORGANIZATION"), "velbro");
        EXPECT_EQ(recorded(real, u"ONBOARDING"), "false");
        EXPECT_EQ(recorded(real, u"SUPPORT_URL"), "mailto:it-support@vellumbrok.dk");
        EXPECT_TRUE(file_exists(paths.log_path));
        EXPECT_EQ(delete_file(paths.package_path), 0u);
        remove_test_product(real);
    }
}

}  // namespace
}  // namespace velbro
