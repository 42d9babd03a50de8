// msiexec's command line and the meaning of its exit codes.
#include <gtest/gtest.h>

#include "install/msi_command.h"

namespace velbro {
namespace {

const WorkPaths EXAMPLE{u"C:\\Windows\\System32", u"C:\\Windows\\Temp\\velbro-vpn-4711",
                        u"C:\\Windows\\Temp\\velbro-vpn-4711\\Cloudflare_WARP.msi",
                        u"C:\\Users\\Test User\\AppData\\Local\\Temp\\velbro-vpn-install.log"};

// The command line pins the program and every argument: the quoting rule is reversible.
TEST(MsiexecCommand, InstallsThePackageWithTheEnrolmentPropertiesQuotingOnlyTheProgramAndTheLogPath) {
    const ChildCommand command = msiexec_command(EXAMPLE);
    const Result<std::u16string, SystemError> line = build_command_line(command.program, command.arguments);
    ASSERT_TRUE(line.ok());
    EXPECT_EQ(to_utf8(line.value()),
              "\"C:\\Windows\\System32\\msiexec.exe\""
              " /i C:\\Windows\\Temp\\velbro-vpn-4711\\Cloudflare_WARP.msi /passive /norestart /l*v"
              " \"C:\\Users\\Test User\\AppData\\Local\\Temp\\velbro-vpn-install.log\""
              " ORGANIZATION=velbro ONBOARDING=false SUPPORT_URL=mailto:it-support@vellumbrok.dk");
}

TEST(InstallOutcome, MapsWindowsInstallerExitCodes) {
    const std::string log = "C:\\Users\\Test User\\AppData\\Local\\Temp\\velbro-vpn-install.log";
    const struct {
        std::uint32_t exit_code;
        bool success;
        std::string text;
    } cases[] = {
        {0, true, "Cloudflare WARP er installeret og forbundet til Vellumbroks netværk."},
        {3010, true, "Genstart computeren for at afslutte installationen."},
        {1602, false, "installationen blev annulleret"},
        {1618, false, "en anden installation kører. Prøv igen om lidt"},
        {1603, false, "installationen fejlede (kode 1603). Log: " + log},
        {1641, false, "installationen fejlede (kode 1641). Log: " + log},
        {0xC0000005, false, "installationen fejlede (kode -1073741819). Log: " + log},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exit_code);
        const RunResult outcome = install_outcome(c.exit_code, EXAMPLE.log_path);
        ASSERT_EQ(outcome.ok(), c.success);
        EXPECT_EQ(c.success ? outcome.value().text : outcome.error().message, c.text);
    }
}

TEST(InstallOutcome, ShowsALogPathWithAnUnpairedSurrogateAsReplacementCharacter) {
    const RunResult outcome = install_outcome(1603, u"C:\\Temp\\\xD800.log");
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message, "installationen fejlede (kode 1603). Log: C:\\Temp\\\uFFFD.log");
}

}  // namespace
}  // namespace velbro
