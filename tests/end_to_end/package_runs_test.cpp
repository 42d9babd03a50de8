// The roads of a confirmed run of the real velbro-vpn.exe under Wine past its work area, one
// run each: signed test packages delivered by our stand-in curl.exe and installed by Wine's
// real msiexec; and DLLs planted beside the program that must never be loaded. Every message
// and exit code is checked step by step and natively; these runs show what the user sees.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "end_to_end/driver.h"

namespace velbro::e2e {
namespace {

using test_support::INSTALL_OK;

constexpr int BUTTON_INSTALL = 100;
// Wine's real msiexec on a loaded machine, its error box included.
constexpr Timeout INSTALL_WAIT = 120s;

// What the console shows when each child starts: the status line is already there.
const std::string TITLE = "Vellumbrok VPN – installation af Cloudflare WARP\n\n";
const std::string FETCHED = "Henter Cloudflare WARP…\n[stub curl.exe]\n";
const std::string VERIFY = "Kontrollerer signatur…\n";
const std::string INSTALL = "Installerer…\n";

struct Outcome {
    const char* name;
    const char16_t* package;  // what curl writes to --output, a test package; null: nothing
    const char16_t* curl_exit;
    bool success;
    std::string content;    // "<log>" stands for the log's path
    std::int32_t os_error;  // not 0: a system message and this code follow the content
    std::string console;    // after the title
    // Someone else's folder at the work directory's name, holding a file: the run must leave
    // both as they are; the content is followed by the folder's path and ": ".
    bool planted = false;
};

void PrintTo(const Outcome& outcome, std::ostream* out) { *out << outcome.name; }

struct Observed {
    TaskDialogView outcome;
    std::string console;
    std::optional<DWORD> exit_code;
    std::vector<std::string> left_behind;
    NativePath work_dir;
};

// Confirms, reads the outcome dialog and the console, closes the dialog and collects the exit
// code and what is left on disk.
Observed run(const Outcome& outcome, const RunFolders& folders, const NativePath& exe = program_path()) {
    Observed observed;
    const Program program =
        Program::start(package_run_environment(folders, outcome.package, outcome.curl_exit), exe);
    const HWND confirmation = program.wait_for_dialog();
    EXPECT_NE(confirmation, nullptr) << "no confirmation dialog";
    observed.work_dir = folders.system_root() + u"\\Temp\\velbro-vpn-" + to_wide(std::to_string(program.pid()));
    if (outcome.planted) {
        test_support::make_dir(observed.work_dir);
        test_support::make_file(observed.work_dir + u"\\Cloudflare_WARP.msi", "someone else's");
    }
    if (confirmation == nullptr || !click_button(confirmation, BUTTON_INSTALL)) return observed;

    // Wine's msiexec shows an error box when a package fails, even with /passive: closed here,
    // or the run would wait for it.
    const HWND dialog = poll_until(INSTALL_WAIT, [&] {
        if (!outcome.success) {
            for (HWND box : program.windows_of_children()) ::PostMessageW(box, WM_CLOSE, 0, 0);
        }
        return program.wait_for_dialog(confirmation, 0ms);
    });
    EXPECT_NE(dialog, nullptr) << "no outcome dialog";
    if (dialog == nullptr) return observed;

    observed.outcome = read_task_dialog(dialog);
    if (const std::optional<ConsoleView> console = program.read_console()) observed.console = console->text;
    EXPECT_TRUE(click_button(dialog, IDOK));
    observed.exit_code = program.wait_for_exit();
    observed.left_behind = folders.left_behind(program.pid());
    return observed;
}

class PackageRunTest : public ::testing::TestWithParam<Outcome> {};

TEST_P(PackageRunTest, ShowsItsOutcomeAndLeavesNothing) {
    const Outcome& outcome = GetParam();
    if (outcome.success) {
        test_support::uninstall(INSTALL_OK);
        ASSERT_EQ(recorded_property(INSTALL_OK, u"ORGANIZATION"), std::nullopt) << "still installed";
    }
    const RunFolders folders;
    const Observed observed = run(outcome, folders);
    std::string content = outcome.content + (outcome.planted ? to_utf8(observed.work_dir) + ": " : "");
    if (const std::size_t at = content.find("<log>"); at != std::string::npos) {
        content.replace(at, 5, to_utf8(folders.temp() + u"\\velbro-vpn-install.log"));
    }

    EXPECT_EQ(observed.outcome.main_instruction, outcome.success ? "Vellumbrok VPN er installeret"
                                                                 : "Installationen fejlede");
    if (outcome.os_error != 0) {
        EXPECT_TRUE(test_support::is_system_error_text(observed.outcome.content, content, outcome.os_error, "."));
    } else {
        EXPECT_EQ(observed.outcome.content, content);
    }
    EXPECT_EQ(observed.outcome.icon, outcome.success ? "program" : "error");
    EXPECT_EQ(observed.console, TITLE + outcome.console);
    EXPECT_EQ(observed.exit_code, outcome.success ? 0u : 1u) << "nullopt: still running at the deadline";
    // msiexec writes its log in the temporary folder; nothing else stays but what was planted.
    std::vector<std::string> stays;
    if (outcome.console.ends_with(INSTALL)) stays.push_back("velbro-vpn-install.log");
    if (outcome.planted) {
        stays.push_back(to_utf8(observed.work_dir.substr(observed.work_dir.rfind(u'\\') + 1)));
        EXPECT_EQ(test_support::read_file(observed.work_dir + u"\\Cloudflare_WARP.msi"), "someone else's");
    }
    EXPECT_EQ(observed.left_behind, stays);
    if (outcome.success) {
        EXPECT_EQ(recorded_property(INSTALL_OK, u"ORGANIZATION"), "velbro");
        EXPECT_EQ(recorded_property(INSTALL_OK, u"ONBOARDING"), "false");
        EXPECT_EQ(recorded_property(INSTALL_OK, u"SUPPORT_URL"), "mailto:it-support@vellumbrok.dk");
        test_support::uninstall(INSTALL_OK);
    }
}

const Outcome WRONG_SIGNER{"WrongSigner", u"signer-no-comma.msi", u"0", false,
                           "Uventet udgiver: Cloudflare Inc.", 0, FETCHED + VERIFY};

// One run for each step's own road; the codes each step can meet are checked in its own tests.
INSTANTIATE_TEST_SUITE_P(
    EachRoad, PackageRunTest,
    ::testing::Values(
        Outcome{"RealMsiexecInstalls", u"install-ok.msi", u"0", true,
                "Cloudflare WARP er installeret og forbundet til Vellumbroks netværk.", 0,
                FETCHED + VERIFY + INSTALL},
        Outcome{"RealMsiexecFails", u"install-fails.msi", u"0", false,
                "Installationen fejlede (kode 1603). Log: <log>.", 0, FETCHED + VERIFY + INSTALL},
        Outcome{"DownloadFails", u"install-ok.msi", u"22", false, "Download fejlede (exit code: 22).", 0,
                FETCHED},
        Outcome{"NothingDownloaded", nullptr, u"0", false, "Kan ikke åbne installationsfilen: ", 2, FETCHED},
        Outcome{"SomethingAtTheWorkDirsName", u"install-ok.msi", u"0", false, "Kan ikke oprette ", 183, "",
                true},
        WRONG_SIGNER),
    [](const ::testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

// The program runs elevated from a Downloads folder: a wintrust.dll or crypt32.dll put there
// must never load, even with Wine told to prefer such DLLs to its own. Wine reads
// WINEDLLOVERRIDES from the Unix environment a process starts with, not from the Windows
// environment block its parent passes, so CTest sets it for this whole test process.
TEST(PlantedDllTest, BesideTheProgramAreNeverLoaded) {
    const RunFolders folders;
    const NativePath planted = test_support::build_path(u"fixtures/program/planted");
    const auto folder_with = [&](const char16_t* name, const NativePath& exe, const char16_t* exe_name) {
        const NativePath folder = folders.path(name);
        test_support::make_dir(folder);
        test_support::copy_file(exe, folder + u"\\" + exe_name);
        test_support::copy_file(planted + u"\\wintrust.dll", folder + u"\\wintrust.dll");
        test_support::copy_file(planted + u"\\crypt32.dll", folder + u"\\crypt32.dll");
        return folder;
    };

    // The control: with these overrides a plain LoadLibraryW takes the planted DLL, so a
    // missing mark below means the program kept to System32.
    const NativePath control =
        folder_with(u"control", test_support::build_path(u"fixtures/program/load_plain.exe"), u"load_plain.exe");
    const Program plain = Program::start(folders.environment(), control + u"\\load_plain.exe");
    EXPECT_EQ(plain.wait_for_exit(), 0u);
    EXPECT_TRUE(test_support::exists(control + u"\\wintrust.dll.loaded"))
        << "WINEDLLOVERRIDES does not prefer the planted DLLs: this test proves nothing";

    // The signer's name is read: the trust check ran with Windows' own DLLs.
    const NativePath downloads = folder_with(u"Downloads", program_path(), u"velbro-vpn.exe");
    const Observed observed = run(WRONG_SIGNER, folders, downloads + u"\\velbro-vpn.exe");
    EXPECT_EQ(observed.outcome.content, WRONG_SIGNER.content);
    EXPECT_EQ(observed.exit_code, 1u);
    EXPECT_FALSE(test_support::exists(downloads + u"\\wintrust.dll.loaded"));
    EXPECT_FALSE(test_support::exists(downloads + u"\\crypt32.dll.loaded"));
}

}  // namespace
}  // namespace velbro::e2e
